#include "support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <sys/file.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Lock/Lock.hpp"
#include "SafeRun/Object.hpp"

namespace testing_support {

namespace {
// A test that builds two objects for one service by mistake waits for the lock: let it
// fail in seconds, not after the production time-out.
const int kShortLockTimeout = (Vexlan::RestartSrv::Lock::set_timeout_for_testing(20), 0);
}  // namespace

ScratchDir::ScratchDir() {
    const char* base = std::getenv("VEXLAN_TEST_TMPDIR");
    // Under /tmp, not in the build tree: the checkout may lie under a directory that other
    // users cannot enter, and some tests act as another user. A systemd sandbox has a /tmp of
    // its own and keeps its root's directory visible in it.
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vexlan-test-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::set<int> open_fds() {
    std::set<int> fds;
    DIR* d = ::opendir("/proc/self/fd");
    int own = ::dirfd(d);
    while (struct dirent* e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        int fd = std::atoi(e->d_name);
        if (fd != own) fds.insert(fd);
    }
    ::closedir(d);
    return fds;
}

std::vector<pid_t> child_pids() {
    std::vector<pid_t> out;
    std::ifstream in("/proc/self/task/" + std::to_string(::getpid()) + "/children");
    pid_t p;
    while (in >> p) out.push_back(p);
    return out;
}

void write_file(const std::string& path, const std::string& content, int mode) {
    {
        std::ofstream out(path, std::ios::trunc);
        out << content;
    }
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Child::Child(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        // The whole group: a shell's own children would otherwise hold the test's output open.
        ::kill(-pid_, SIGKILL);
        wait();
    }
}

int Child::wait() {
    int status = 0;
    if (reaped_) return 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status;
}

bool Child::alive() const {
    if (reaped_) return false;
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(in, line);
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

std::string program_path() {
    return VEXLAN_BINARY;
}

bool all_tests_required() {
    const char* v = std::getenv("VEXLAN_REQUIRE_ALL_TESTS");
    return v && std::string(v) == "1";
}

std::string scripts_dir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/support/")) + "/system";
}

bool can_unshare() {
    static int answer = -1;
    if (answer < 0) answer = ::geteuid() == 0 && std::system("unshare --mount true >/dev/null 2>&1") == 0;
    return answer == 1;
}

ProgramRoot::ProgramRoot() {
    // Open to other users, as a product's directories are: some tests run the program, and
    // daemons drop to their own users.
    ::chmod(dir_.path().c_str(), 0755);
    std::filesystem::create_directories(product("/logs"));
    std::filesystem::create_directories(state());
    std::filesystem::create_directories(dir_.path() + "/bin");
    // The example per-service classes are the product's built-in modules here.
    std::filesystem::create_directories(product("/lib/services"));
    // ... and their services are monitored, which makes them installed.
    std::filesystem::create_directories(state("/svcmond/monitored"));
    for (const auto& entry : std::filesystem::directory_iterator(VEXLAN_MODULE_DIR)) {
        std::filesystem::copy_file(entry.path(),
                                   product("/lib/services/") + entry.path().filename().string());
        std::string service = entry.path().stem().string();
        for (auto& c : service) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        write_file(state("/svcmond/monitored/" + service + ".conf"), "");
    }
    // The classes of the distribution's daemons, as the package installs them.
    for (const auto& entry : std::filesystem::directory_iterator(VEXLAN_SERVICES_DIR))
        if (entry.path().extension() == ".so")
            std::filesystem::copy_file(entry.path(),
                                       product("/lib/services/") + entry.path().filename().string());
}

std::vector<std::string> ProgramRoot::command(const std::string& name,
                                              const std::vector<std::string>& args) const {
    // The program itself inside the root, where another user can reach it too (the build
    // tree may be closed to them): a hard link, or a copy across file systems.
    const std::string program = dir_.path() + "/bin/restartsrv_base";
    std::error_code ec;
    if (!std::filesystem::exists(program, ec)) {
        std::filesystem::create_hard_link(program_path(), program, ec);
        if (ec) std::filesystem::copy_file(program_path(), program);
    }
    std::string link = dir_.path() + "/bin/" + name;
    if (!std::filesystem::exists(link, ec)) std::filesystem::create_symlink("restartsrv_base", link, ec);
    std::vector<std::string> cmd = {"unshare",   "--mount", "--propagation",
                                    "private",   "/bin/sh", scripts_dir() + "/private_root.sh",
                                    dir_.path(), link};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

ProgramResult run_command(const std::vector<std::string>& command, double timeout) {
    Vexlan::SafeRun::Options o;
    o.program = command.at(0);
    o.args.assign(command.begin() + 1, command.end());
    o.keep_env = true;
    o.timeout = timeout;
    Vexlan::SafeRun::Object run(std::move(o));
    ProgramResult r;
    int st = run.CHILD_ERROR().value_or(0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = run.stdout_text();
    r.err = run.stderr_text();
    return r;
}

void ProgramRoot::init_script(const std::string& name, const std::string& body) const {
    std::filesystem::create_directories(root() + "/initd");
    write_file(root() + "/initd/" + name, "#!/bin/sh\n" + body + "\n", 0755);
}

bool ProgramRoot::lock_is_free(const std::string& service) const {
    int fd = ::open(state("/restartsrv/locks/" + service).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

ProgramResult ProgramRoot::run(const std::string& name, const std::vector<std::string>& args,
                               const std::vector<std::string>& env) const {
    std::vector<std::string> cmd = {"/usr/bin/env"};
    cmd.insert(cmd.end(), env.begin(), env.end());
    auto program = command(name, args);
    cmd.insert(cmd.end(), program.begin(), program.end());
    return run_command(cmd);
}

nlohmann::json checked_result_record(const std::string& json_output) {
    ScratchDir dir;
    const std::string input = dir.path() + "/output.jsonl";
    write_file(input, json_output);
    // Debian's interpreter, whose jsonschema the set-up installs (not whatever python3 a
    // developer's PATH finds first).
    const std::string source = VEXLAN_SOURCE_DIR;
    auto r = run_command({"/bin/sh", "-c", "exec /usr/bin/python3 \"$1\" \"$2\" < \"$3\"", "sh",
                          source + "/tests/support/check_records.py", source + "/doc/result-record.schema.json", input});
    if (r.status != 0) {
        ADD_FAILURE() << "the --json output does not fit the schema:\n" << r.out << r.err << "\noutput was:\n" << json_output;
        return nullptr;
    }
    return nlohmann::json::parse(r.out);
}

}  // namespace testing_support
