// Debian's own init scripts on this machine, where no systemd runs as PID 1, driven by the
// real program and its per-service classes in a private root. Each test starts and stops
// its daemon itself; a daemon already running here is not the test's to touch.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "Process/ProcFs.hpp"
#include "support/DaemonFaults.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"
#include "Util/Time.hpp"

using namespace testing_support;

namespace {
class InitdDaemons : public ::testing::Test {
protected:
    void SetUp() override { VX_REQUIRE(can_unshare(), "needs root and mount namespaces"); }
    void TearDown() override {
        if (program_.empty() || pids_of(program_).empty()) return;
        if (!script_.empty())
            run_command({script_, "stop"});
        else
            for (pid_t pid : pids_of(program_)) ::kill(pid, SIGTERM);
    }
    // Runs only when the daemon is installed and not already running here. Without a
    // script the class starts the program itself.
    bool adopt(const std::string& script, const std::string& program) {
        if ((!script.empty() && !std::filesystem::exists(script)) || !std::filesystem::exists(program)) return false;
        if (!pids_of(program).empty()) return false;
        script_ = script;
        program_ = program;
        return true;
    }
    // The daemon's processes on this machine; the same program run inside the tests' own
    // sandboxes (other pid namespaces) is not it.
    static std::vector<pid_t> pids_of(const std::string& program) {
        std::vector<pid_t> out;
        std::error_code ec;
        const auto own_ns = std::filesystem::read_symlink("/proc/self/ns/pid", ec);
        for (pid_t pid : Vexlan::ProcFs::list_pids()) {
            const std::string dir = "/proc/" + std::to_string(pid);
            auto exe = std::filesystem::read_symlink(dir + "/exe", ec);
            if (ec || exe != program || std::filesystem::read_symlink(dir + "/ns/pid", ec) != own_ns) continue;
            if (Vexlan::ProcFs::is_alive(pid)) out.push_back(pid);
        }
        return out;
    }
    std::vector<pid_t> wait_for_pids(bool running) {
        wait_until([&] { return pids_of(program_).empty() != running; }, 10);
        return pids_of(program_);
    }
    // None of the program's own files stays open in the daemon: its standard streams may
    // go to its startup log (what it says is its own output), nothing else of ours.
    void expect_no_inherited_descriptors(pid_t pid) {
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
            std::error_code ec;
            std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
            const int n = std::stoi(fd.path().filename().string());
            if (n <= 2 && target.starts_with("/var/vexlan/restartsrv/startup_logs/")) continue;
            EXPECT_EQ(target.find("vexlan"), std::string::npos) << "fd " << n << " -> " << target;
            EXPECT_EQ(target.find(root_.root()), std::string::npos) << "fd " << n << " -> " << target;
        }
    }
    // Every startup log the program wrote (named after the distribution's service name).
    std::string startup_logs() {
        std::string all;
        for (const auto& f : std::filesystem::directory_iterator(root_.state("/restartsrv/startup_logs"))) all += read_file(f.path());
        return all;
    }
    ProgramRoot root_;
    std::string script_, program_;
};

struct Daemon {
    const char* service;
    const char* script;   // empty: no init script
    const char* program;  // the daemon's executable
    bool graceful;        // restarted in place
    const char* pidfile;  // where Debian's configuration has the daemon keep it
};

void PrintTo(const Daemon& d, std::ostream* os) { *os << d.service; }

const Daemon kDaemons[] = {
    {"httpd", "/etc/init.d/apache2", "/usr/sbin/apache2", true, "/run/apache2/apache2.pid"},
    {"nginx", "/etc/init.d/nginx", "/usr/sbin/nginx", false, "/run/nginx.pid"},
    {"exim", "/etc/init.d/exim4", "/usr/sbin/exim4", false, "/run/exim4/exim.pid"},
    {"dovecot", "/etc/init.d/dovecot", "/usr/sbin/dovecot", false, "/run/dovecot/master.pid"},
    {"ftpd", "/etc/init.d/pure-ftpd", "/usr/sbin/pure-ftpd", false, "/run/pure-ftpd/pure-ftpd.pid"},
    {"named", "/etc/init.d/named", "/usr/sbin/named", false, "/run/named/named.pid"},
    {"mysql", "/etc/init.d/mariadb", "/usr/sbin/mariadbd", false, "/run/mysqld/mysqld.pid"},
    {"postgresql", "/etc/init.d/postgresql", "/usr/lib/postgresql/15/bin/postgres", false,
     "/run/postgresql/15-main.pid"},
    {"redis", "/etc/init.d/redis-server", "/usr/bin/redis-check-rdb", false, "/run/redis/redis-server.pid"},
    {"memcached", "/etc/init.d/memcached", "/usr/bin/memcached", false, "/run/memcached/memcached.pid"},
    {"rsyslog", "", "/usr/sbin/rsyslogd", false, "/run/rsyslogd.pid"},
    {"crond", "/etc/init.d/cron", "/usr/sbin/cron", false, "/run/crond.pid"},
    {"sshd", "/etc/init.d/ssh", "/usr/sbin/sshd", false, "/run/sshd.pid"},
};

class InitdDaemon : public InitdDaemons, public ::testing::WithParamInterface<Daemon> {};
}  // namespace

// One daemon through its whole life: start, status, check, restart, stop, down.
TEST_P(InitdDaemon, StartStatusRestartStop) {
    const Daemon& d = GetParam();
    VX_REQUIRE(adopt(d.script, d.program), d.program << " is not installed, or already runs");
    // The panel set PostgreSQL up: its role is available.
    write_file(root_.state("/global_cache.json"), R"({"has_postgres": 1})");
    const std::string name = d.service;
    auto start = root_.run("restartsrv_" + name, {});
    EXPECT_EQ(start.status, 0) << start.out << start.err;
    EXPECT_NE(start.out.find("“" + name + "” started successfully."), std::string::npos) << start.out;
    auto pids = wait_for_pids(true);
    ASSERT_FALSE(pids.empty()) << "the daemon runs";
    expect_no_inherited_descriptors(pids.front());
    if (*d.script) {
        EXPECT_NE(startup_logs().find("Starting"), std::string::npos) << startup_logs();
    }
    auto status = root_.run("restartsrv_" + name, {"--status"});
    EXPECT_EQ(status.status, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("is running"), std::string::npos) << status.out;
    EXPECT_EQ(root_.run("restartsrv_" + name, {"--check"}).status, 0);
    auto restart = root_.run("restartsrv_" + name, {});
    EXPECT_EQ(restart.status, 0) << restart.out << restart.err;
    EXPECT_NE(restart.out.find("restarted successfully"), std::string::npos) << restart.out;
    const auto after = wait_for_pids(true);
    EXPECT_FALSE(after.empty());
    if (d.graceful) {
        EXPECT_EQ(after.front(), pids.front()) << "restarted in place";
    } else {
        EXPECT_NE(after, pids) << "a new daemon";
    }
    auto stop = root_.run("stop" + name, {});
    EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
    EXPECT_TRUE(wait_for_pids(false).empty()) << "the daemon is gone";
    auto down = root_.run("restartsrv_" + name, {"--status"});
    EXPECT_EQ(down.status, 1);
    EXPECT_NE(down.err.find("is down"), std::string::npos) << down.err;
}

INSTANTIATE_TEST_SUITE_P(Debian, InitdDaemon, ::testing::ValuesIn(kDaemons),
                         [](const auto& info) { return std::string(info.param.service); });

TEST_F(InitdDaemons, AnUnprivilegedCallerSeesTheDaemonButChangesNothing) {
    VX_REQUIRE(adopt("/etc/init.d/memcached", "/usr/bin/memcached"), "memcached is not installed, or already runs");
    ASSERT_EQ(root_.run("restartsrv_memcached", {}).status, 0);
    const auto pids = wait_for_pids(true);
    ASSERT_FALSE(pids.empty());
    auto as_nobody = [&](const std::string& name, const std::vector<std::string>& args) {
        auto cmd = root_.command(name, args);
        // The private root is made as root; the program itself runs as nobody.
        cmd.insert(cmd.begin() + 7, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return run_command(cmd);
    };
    auto status = as_nobody("restartsrv_memcached", {"--status"});
    EXPECT_EQ(status.status, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("is running as memcache"), std::string::npos) << status.out;
    EXPECT_EQ(as_nobody("restartsrv_memcached", {"--check"}).status, 0);
    for (const std::string name : {"stopmemcached", "restartsrv_memcached", "startmemcached"}) {
        auto r = as_nobody(name, {});
        EXPECT_EQ(r.status, 1) << name << r.out << r.err;
        EXPECT_NE(r.err.find("needs root privileges"), std::string::npos) << r.err;
    }
    EXPECT_EQ(pids_of(program_), pids) << "the daemon was not touched";
}

namespace {
using namespace daemon_faults;

class DaemonEvidence : public InitdDaemon {
protected:
    // The daemon's processes whose parent is not one of them: its masters.
    std::vector<pid_t> masters() {
        const auto all = pids_of(program_);
        std::vector<pid_t> out;
        for (pid_t pid : all) {
            const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
            const auto close = stat.rfind(')');
            if (close == std::string::npos) continue;
            const pid_t parent = static_cast<pid_t>(std::stol(stat.substr(close + 4)));
            if (std::find(all.begin(), all.end(), parent) == all.end()) out.push_back(pid);
        }
        return out;
    }
    // Ends what the row left running: the script's stop, then the daemon's own processes
    // (the test started them).
    void stop_daemon() {
        if (!script_.empty()) run_command({script_, "stop"});
        for (pid_t pid : pids_of(program_)) ::kill(pid, SIGTERM);
        wait_until([&] { return pids_of(program_).empty(); }, 20);
        for (pid_t pid : pids_of(program_)) ::kill(pid, SIGKILL);
        wait_until([&] { return pids_of(program_).empty(); }, 10);
    }
};
}  // namespace

TEST_P(DaemonEvidence, PidfileGoneAndPidfileNamingAnotherProgram) {
    const Daemon& d = GetParam();
    VX_REQUIRE(adopt(d.script, d.program), d.program << " is not installed, or already runs");
    write_file(root_.state("/global_cache.json"), R"({"has_postgres": 1})");
    const std::string name = d.service;
    for (const Cell& cell : kCells) {
        SCOPED_TRACE(std::string(name) + ": " + cell.what);
        auto start = root_.run("restartsrv_" + name, {});
        ASSERT_EQ(start.status, 0) << start.out << start.err;
        // The daemon has written its pidfile and runs its own program.
        auto settled = [&] { return std::filesystem::exists(d.pidfile) && masters().size() == 1; };
        wait_until(settled, 30);
        ASSERT_TRUE(settled()) << d.pidfile;
        std::optional<Child> other;
        if (cell.fault == Fault::PidfileGone) {
            std::filesystem::remove(d.pidfile);
        } else {
            stop_daemon();
            other.emplace(std::vector<std::string>{"/bin/sleep", "600"});
            std::filesystem::create_directories(std::filesystem::path(d.pidfile).parent_path());
            write_file(d.pidfile, std::to_string(other->pid()) + "\n");
        }
        auto r = root_.run("restartsrv_" + name, {action_option(cell.act)});
        EXPECT_EQ(r.status, cell.exit) << r.out << r.err;
        if (cell.act != Act::Status)
            wait_until([&] { return masters().size() == static_cast<size_t>(cell.masters_after); }, 10);
        EXPECT_EQ(masters().size(), static_cast<size_t>(cell.masters_after)) << r.out << r.err;
        if (other) {
            EXPECT_TRUE(other->alive()) << "the other program is never signalled";
        }
        stop_daemon();
        std::filesystem::remove(d.pidfile);
    }
}

INSTANTIATE_TEST_SUITE_P(Debian, DaemonEvidence, ::testing::ValuesIn(kDaemons),
                         [](const auto& info) { return std::string(info.param.service); });
