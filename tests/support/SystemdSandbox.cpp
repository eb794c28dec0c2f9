#include "support/SystemdSandbox.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "SafeRun/Object.hpp"
#include "Util/Time.hpp"

namespace testing_support {

namespace {
// The checkout: the program, its modules and the scripts live in it.
std::string project_dir() {
    std::string dir = scripts_dir();
    return dir.substr(0, dir.rfind("/tests/system"));
}

// The sandbox's own control group (see cgroup_enter.sh).
std::string cgroup_name(pid_t pid) { return "vexlan-sandbox-" + std::to_string(pid); }
}  // namespace

bool SystemdSandbox::available(std::string* why) {
    if (::geteuid() != 0) {
        *why = "needs root to create namespaces";
        return false;
    }
    if (!std::filesystem::exists("/lib/systemd/systemd")) {
        *why = "systemd is not installed";
        return false;
    }
    if (!can_unshare()) {
        *why = "mount namespaces cannot be created here";
        return false;
    }
    return true;
}

SystemdSandbox::SystemdSandbox(const ProgramRoot& root) : root_(root) {
    if (!available(&why_not_)) return;
    std::string log = root.root() + "/sandbox.log";
    unshare_pid_ = ::fork();
    if (unshare_pid_ == 0) {
        ::setpgid(0, 0);
        FILE* f = std::freopen(log.c_str(), "w", stdout);
        (void)f;
        ::dup2(1, 2);
        const std::string group = cgroup_name(::getpid());
        ::execlp("/bin/sh", "/bin/sh", (scripts_dir() + "/cgroup_enter.sh").c_str(), group.c_str(), "unshare", "--cgroup",
                 "--pid", "--fork", "--kill-child", "--mount", "--uts", "--ipc", "--net", "--mount-proc", "/bin/sh",
                 (scripts_dir() + "/private_root.sh").c_str(), root.root().c_str(), "/bin/sh",
                 (scripts_dir() + "/systemd_boot.sh").c_str(), project_dir().c_str(), root.root().c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // systemd is the child of unshare (before that, the control-group script runs short
    // children of its own under the same pid).
    for (int i = 0; i < 500 && init_pid_ <= 0; ++i) {
        std::ifstream children("/proc/" + std::to_string(unshare_pid_) + "/task/" + std::to_string(unshare_pid_) + "/children");
        pid_t p = 0;
        if (children >> p && read_file("/proc/" + std::to_string(p) + "/comm") == "systemd\n")
            init_pid_ = p;
        else
            Vexlan::Time::sleep_for(0.01);
    }
    if (init_pid_ <= 0) {
        why_not_ = "the sandbox did not start: " + read_file(log);
        return;
    }
    for (int i = 0; i < 300; ++i) {
        auto state = exec({"systemctl", "is-system-running"});
        if (state.out.starts_with("running") || state.out.starts_with("degraded")) {
            ready_ = true;
            return;
        }
        Vexlan::Time::sleep_for(0.1);
    }
    why_not_ = "systemd did not come up in the sandbox: " + read_file(log);
}

SystemdSandbox::~SystemdSandbox() {
    if (init_pid_ > 0) ::kill(init_pid_, SIGKILL);
    if (unshare_pid_ > 0) {
        ::kill(unshare_pid_, SIGKILL);
        ::waitpid(unshare_pid_, nullptr, 0);
        run_command({"/bin/sh", scripts_dir() + "/cgroup_leave.sh", cgroup_name(unshare_pid_)});
    }
}

ProgramResult SystemdSandbox::exec(const std::vector<std::string>& command) const {
    std::vector<std::string> cmd = {"nsenter", "-t", std::to_string(init_pid_), "-a", "--", "/usr/bin/env", "LANG=C"};
    cmd.insert(cmd.end(), command.begin(), command.end());
    return run_command(cmd);
}

ProgramResult SystemdSandbox::program(const std::string& name, const std::vector<std::string>& args) const {
    auto full = root_.command(name, args);
    // Inside the sandbox the product directories are already in place: skip the wrapper.
    std::vector<std::string> direct(full.begin() + 7, full.end());
    return exec(direct);
}

std::string SystemdSandbox::path(const std::string& inside) const {
    return "/proc/" + std::to_string(init_pid_) + "/root" + inside;
}

void SystemdSandbox::install_unit(const std::string& name, const std::string& content) const {
    write_file(path("/etc/systemd/system/" + name), content);
    exec({"systemctl", "daemon-reload"});
}

std::string SystemdSandbox::systemctl_show(const std::string& unit, const std::string& property) const {
    auto r = exec({"systemctl", "show", "-p", property, "--value", unit});
    std::string v = r.out;
    while (!v.empty() && v.back() == '\n') v.pop_back();
    return v;
}

}  // namespace testing_support
