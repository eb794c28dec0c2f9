// The process table reader against ps and pgrep over the same process table, with at
// least 5,000 processes running (started here and ended again).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Process/PsParser/PsParser.hpp"

extern char** environ;

namespace {
constexpr int kExtraProcesses = 5000;
std::string g_name;
std::vector<pid_t> g_children;

void run_tool(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ::posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    int status;
    ::waitpid(pid, &status, 0);
}

void start_processes() {
    // A uniquely named copy of sleep, so the name look-ups find only these.
    g_name = "vxbench" + std::to_string(::getpid());
    std::string path = "/tmp/" + g_name;
    std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    for (int i = 0; i < kExtraProcesses; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(path.c_str(), g_name.c_str(), "3600", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        g_children.push_back(pid);
    }
}

void stop_processes() {
    for (pid_t p : g_children) ::kill(p, SIGKILL);
    for (pid_t p : g_children) ::waitpid(p, nullptr, 0);
    std::filesystem::remove("/tmp/" + g_name);
}

void BM_FastParsePs(benchmark::State& state) {
    Vexlan::PsParser::Options o;
    o.resolve_uids = true;
    for (auto _ : state) benchmark::DoNotOptimize(Vexlan::PsParser::fast_parse_ps(o).size());
    state.counters["processes"] = static_cast<double>(Vexlan::PsParser::fast_parse_ps(o).size());
}

void BM_Ps(benchmark::State& state) {
    for (auto _ : state) run_tool({"ps", "-eo", "pid,user,ppid,stat,ni,args"});
}

void BM_GetPidsByName(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Vexlan::PsParser::get_pids_by_name(g_name).size());
}

void BM_Pgrep(benchmark::State& state) {
    for (auto _ : state) run_tool({"pgrep", "-x", g_name});
}
}  // namespace

BENCHMARK(BM_FastParsePs)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_Ps)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_GetPidsByName)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_Pgrep)->Unit(benchmark::kMillisecond)->MinTime(3);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    start_processes();
    benchmark::RunSpecifiedBenchmarks();
    stop_processes();
    benchmark::Shutdown();
    return 0;
}
