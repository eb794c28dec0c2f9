// The runner against the bare system calls it wraps, side by side in one run:
// spawning /bin/true, and capturing 256 MiB that a child writes to its standard output.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "SafeRun/Object.hpp"

extern char** environ;

namespace {
constexpr const char* kWriter = "head -c 268435456 /dev/zero";

pid_t spawn(const std::vector<std::string>& argv, int stdout_fd) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&fa, stdout_fd, 1);
    pid_t pid = 0;
    ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void BM_BareSpawnTrue(benchmark::State& state) {
    for (auto _ : state) {
        pid_t pid = spawn({"/bin/true"}, -1);
        int status;
        ::waitpid(pid, &status, 0);
    }
}

void BM_SafeRunTrue(benchmark::State& state) {
    for (auto _ : state) {
        Vexlan::SafeRun::Options o;
        o.program = "/bin/true";
        Vexlan::SafeRun::Object run(std::move(o));
        benchmark::DoNotOptimize(run.CHILD_ERROR());
    }
}

// A plain read loop over a writer child's pipe; `keep` appends what it reads to a text.
size_t plain_read_loop(bool keep) {
    std::vector<char> buf(131072);
    int fds[2];
    ::pipe2(fds, O_CLOEXEC);
    pid_t pid = spawn({"/bin/sh", "-c", kWriter}, fds[1]);
    ::close(fds[1]);
    std::string kept;
    size_t total = 0;
    ssize_t n;
    while ((n = ::read(fds[0], buf.data(), buf.size())) > 0) {
        if (keep) kept.append(buf.data(), static_cast<size_t>(n));
        total += static_cast<size_t>(n);
    }
    ::close(fds[0]);
    int status;
    ::waitpid(pid, &status, 0);
    return keep ? kept.size() : total;
}

// The plain loop that keeps what it reads, as capturing must.
void BM_PlainReadLoop256MiB(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(plain_read_loop(true));
    state.SetBytesProcessed(state.iterations() * 268435456LL);
}

// The same loop throwing the data away: the floor of any capture.
void BM_PlainReadLoopDiscard256MiB(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(plain_read_loop(false));
    state.SetBytesProcessed(state.iterations() * 268435456LL);
}

void BM_SafeRunCapture256MiB(benchmark::State& state) {
    for (auto _ : state) {
        Vexlan::SafeRun::Options o;
        o.program = "/bin/sh";
        o.args = {"-c", kWriter};
        Vexlan::SafeRun::Object run(std::move(o));
        benchmark::DoNotOptimize(run.stdout_text().size());
    }
    state.SetBytesProcessed(state.iterations() * 268435456LL);
}
}  // namespace

BENCHMARK(BM_BareSpawnTrue)->MinTime(2);
BENCHMARK(BM_SafeRunTrue)->MinTime(2);
BENCHMARK(BM_PlainReadLoop256MiB)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_PlainReadLoopDiscard256MiB)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_SafeRunCapture256MiB)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK_MAIN();
