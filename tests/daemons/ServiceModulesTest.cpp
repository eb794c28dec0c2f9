// The per-service classes against Debian's real daemons, driven by the real program under
// a real systemd in private namespaces. Each action is judged by what systemd and /proc
// say afterwards, not by the program's words alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <stdexcept>

#include "support/DaemonFaults.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/SystemdSandbox.hpp"
#include "support/TestSupport.hpp"
#include "Util/Number.hpp"

using namespace testing_support;

namespace {
struct Daemon {
    const char* service;  // the panel's name
    const char* unit;     // the distribution's unit
    const char* exe;      // the daemon's executable (a pattern)
    bool reload;          // the class can reload it
    bool graceful;        // the class restarts it in place
    bool script_only;     // only an init script: systemd runs it as a generated unit
    const char* pidfile;  // where the daemon writes its pidfile
};

const Daemon kDaemons[] = {
    {"httpd", "apache2", "/usr/sbin/apache2", true, true, false, "/run/apache2/apache2.pid"},
    {"nginx", "nginx", "/usr/sbin/nginx", true, false, false, "/run/nginx.pid"},
    {"exim", "exim4", "/usr/sbin/exim4", true, false, true, "/run/exim4/exim.pid"},
    {"dovecot", "dovecot", "/usr/sbin/dovecot", true, false, false, "/run/dovecot/master.pid"},
    {"ftpd", "pure-ftpd", "/usr/sbin/pure-ftpd", false, false, true, "/run/pure-ftpd/pure-ftpd.pid"},
    {"named", "named", "/usr/sbin/named", true, false, false, "/run/named/named.pid"},
    {"mysql", "mariadb", "/usr/sbin/mariadbd", false, false, false, "/run/mysqld/mysqld.pid"},  // the unit has no reload
    {"postgresql", "postgresql@15-main", "/usr/lib/postgresql/\\d+/bin/postgres", true, false, false, "/run/postgresql/15-main.pid"},
    {"redis", "redis-server", "/usr/bin/redis-check-rdb", false, false, false, "/run/redis/redis-server.pid"},
    {"memcached", "memcached", "/usr/bin/memcached", false, false, false, "/run/memcached/memcached.pid"},
    {"rsyslog", "rsyslog", "/usr/sbin/rsyslogd", false, false, false, "/run/rsyslogd.pid"},
    {"crond", "cron", "/usr/sbin/cron", false, false, false, "/run/crond.pid"},
    {"sshd", "ssh", "/usr/sbin/sshd", true, false, false, "/run/sshd.pid"},
};

void PrintTo(const Daemon& d, std::ostream* os) { *os << d.service; }

const Daemon& daemon(const std::string& service) {
    for (const auto& d : kDaemons)
        if (d.service == service) return d;
    throw std::logic_error("no daemon " + service);
}

class ServiceModules : public ::testing::Test {
protected:
    void boot() {
        std::string why;
        VX_REQUIRE(SystemdSandbox::available(&why), "no systemd sandbox: " << why);
        // The panel set PostgreSQL up: its role is available.
        write_file(root_.state("/global_cache.json"), R"({"has_postgres": 1})");
        sandbox_ = std::make_unique<SystemdSandbox>(root_);
        ASSERT_TRUE(sandbox_->ready()) << sandbox_->why_not();
    }
    ProgramResult run(const std::string& name, const std::vector<std::string>& args = {}) { return sandbox_->program(name, args); }
    std::string show(const std::string& unit, const std::string& property) { return sandbox_->systemctl_show(unit + ".service", property); }
    // The sandbox's processes (its own pids) whose executable matches `exe`.
    std::vector<pid_t> processes(const std::string& exe) {
        std::vector<pid_t> out;
        const std::regex pattern(exe);
        for (const auto& entry : std::filesystem::directory_iterator(sandbox_->path("/proc"))) {
            auto pid = Vexlan::Number::parse<pid_t>(entry.path().filename().string(), 1);
            if (pid && std::regex_match(exe_of(*pid), pattern) && !is_zombie(*pid)) out.push_back(*pid);
        }
        return out;
    }
    std::string exe_of(pid_t pid) {
        std::error_code ec;
        return std::filesystem::read_symlink(sandbox_->path("/proc/" + std::to_string(pid) + "/exe"), ec).string();
    }
    bool is_zombie(pid_t pid) {
        std::string stat = read_file(sandbox_->path("/proc/" + std::to_string(pid) + "/stat"));
        auto close = stat.rfind(')');
        return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
    }
    // The unit's main process is the daemon (for a generated unit, the daemon's process).
    pid_t expect_running(const Daemon& d) {
        EXPECT_EQ(show(d.unit, "ActiveState"), "active") << d.unit;
        if (d.script_only) {
            auto pids = processes(d.exe);
            EXPECT_FALSE(pids.empty()) << d.exe << " runs";
            return pids.empty() ? 0 : pids.front();
        }
        auto main = Vexlan::Number::parse<pid_t>(show(d.unit, "MainPID"), 1);
        EXPECT_TRUE(main) << d.unit << " has a main process";
        if (!main) return 0;
        const std::string exe = exe_of(*main);
        EXPECT_TRUE(std::regex_match(exe, std::regex(d.exe))) << exe;
        return *main;
    }
    void life_cycle(const Daemon& d) {
        const std::string name = d.service;
        auto start = run("restartsrv_" + name);
        ASSERT_EQ(start.status, 0) << start.out << start.err << read_file(root_.product("/logs/error_log"));
        EXPECT_NE(start.out.find("“" + name + "” started successfully."), std::string::npos) << start.out;
        const pid_t first = expect_running(d);

        auto status = run("restartsrv_" + name, {"--status"});
        EXPECT_EQ(status.status, 0) << status.err;
        EXPECT_NE(status.out.find("is running"), std::string::npos) << status.out;
        EXPECT_EQ(run("restartsrv_" + name, {"--check"}).status, 0);

        auto restart = run("restartsrv_" + name);
        EXPECT_EQ(restart.status, 0) << restart.out << restart.err;
        const pid_t second = expect_running(d);
        if (d.graceful) {
            EXPECT_EQ(second, first) << "restarted in place";
        } else {
            EXPECT_NE(second, first) << "a new daemon";
        }

        if (d.reload) {
            auto reload = run("restartsrv_" + name, {"--reload"});
            EXPECT_EQ(reload.status, 0) << reload.out << reload.err;
            EXPECT_EQ(expect_running(d), second) << "a reload keeps the daemon";
        }

        auto stop = run("stop" + name);
        EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
        EXPECT_EQ(show(d.unit, "ActiveState"), "inactive");
        EXPECT_TRUE(processes(d.exe).empty()) << "no process of the daemon is left";
        auto down = run("restartsrv_" + name, {"--status"});
        EXPECT_EQ(down.status, 1);
        EXPECT_NE(down.err.find("is down"), std::string::npos) << down.err;
    }

    ProgramRoot root_;
    std::unique_ptr<SystemdSandbox> sandbox_;
};

class ServiceModuleLifeCycle : public ServiceModules, public ::testing::WithParamInterface<Daemon> {};
}  // namespace

TEST_P(ServiceModuleLifeCycle, StartStatusRestartReloadStop) {
    boot();
    life_cycle(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Debian, ServiceModuleLifeCycle, ::testing::ValuesIn(kDaemons),
                         [](const auto& info) { return std::string(info.param.service); });

TEST_F(ServiceModules, AStrayDaemonOutsideItsUnitIsEndedBeforeTheStart) {
    boot();
    // Started by hand, in no unit: the service is down and this process is its leftover.
    ASSERT_EQ(sandbox_->exec({"memcached", "-d", "-u", "memcache", "-p", "11299", "-l", "127.0.0.1"}).status, 0);
    wait_until([&] { return !processes("/usr/bin/memcached").empty(); });
    const auto stray = processes("/usr/bin/memcached");
    ASSERT_EQ(stray.size(), 1u);
    auto r = run("restartsrv_memcached");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const pid_t main = expect_running(daemon("memcached"));
    EXPECT_EQ(processes("/usr/bin/memcached"), std::vector<pid_t>{main}) << "the stray is gone";
}

TEST_F(ServiceModules, APortHeldByAnotherProgramIsFreedForTheSecondAttempt) {
    boot();
    // Another program holds redis's port: the first attempt fails, the second one finds the
    // port free.
    sandbox_->exec({"systemd-run", "--unit=vxsquatter", "python3", "-c",
                    "import socket,time\ns=socket.socket()\ns.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
                    "s.bind(('127.0.0.1',6379))\ns.listen()\ntime.sleep(600)"});
    wait_until([&] { return sandbox_->exec({"ss", "-Htln", "sport = :6379"}).out.find("6379") != std::string::npos; });
    auto r = run("restartsrv_redis");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    expect_running(daemon("redis"));
    EXPECT_NE(sandbox_->systemctl_show("vxsquatter.service", "ActiveState"), "active") << "the squatter was ended";
}

TEST_F(ServiceModules, AGracefulRestartKeepsTheWebServerAnswering) {
    boot();
    const Daemon& httpd = daemon("httpd");
    ASSERT_EQ(run("restartsrv_httpd").status, 0);
    const pid_t main = expect_running(httpd);
    const std::string pidfile = sandbox_->path("/run/apache2/apache2.pid");
    const auto written = std::filesystem::last_write_time(pidfile);
    // A client asks all the time, from inside the sandbox, until told to stop.
    write_file(sandbox_->path("/run/vxpoll.py"),
               "import os,time,urllib.request\nok=bad=0\n"
               "while not os.path.exists('/run/vxpoll.stop'):\n"
               "    try:\n        urllib.request.urlopen('http://127.0.0.1/',timeout=5).read(); ok+=1\n"
               "    except Exception: bad+=1\n"
               "    open('/run/vxpoll.n.tmp','w').write(str(ok)); os.rename('/run/vxpoll.n.tmp','/run/vxpoll.n')\n"
               "open('/run/vxpoll.tmp','w').write(f'{ok} {bad}')\n"
               "os.rename('/run/vxpoll.tmp','/run/vxpoll.out')\n");
    sandbox_->exec({"systemd-run", "--unit=vxpoll", "python3", "/run/vxpoll.py"});
    // Answers counted so far: the poll runs across the whole restart, before and after.
    auto answered = [&] {
        try {
            return std::stoi(read_file(sandbox_->path("/run/vxpoll.n")));
        } catch (const std::exception&) {
            return 0;
        }
    };
    wait_until([&] { return answered() >= 5; }, 15);
    auto r = run("restartsrv_httpd");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("gracefully"), std::string::npos) << r.out;
    const int after_restart = answered();
    wait_until([&] { return answered() >= after_restart + 5; }, 15);
    write_file(sandbox_->path("/run/vxpoll.stop"), "");
    // The poller renames its tally into place, so the file is never seen half-written.
    wait_until([&] { return std::filesystem::exists(sandbox_->path("/run/vxpoll.out")); }, 15);
    const std::string counts = read_file(sandbox_->path("/run/vxpoll.out"));
    EXPECT_EQ(expect_running(httpd), main) << "the same server";
    EXPECT_NE(std::filesystem::last_write_time(pidfile), written) << "the pidfile was rewritten";
    EXPECT_TRUE(counts.ends_with(" 0") && !counts.starts_with("0 ")) << "answered / failed: " << counts;
}

namespace {
using namespace daemon_faults;

class DaemonEvidenceUnderSystemd : public ServiceModuleLifeCycle {
protected:
    // The daemon's processes whose parent is not one of them: its masters.
    std::vector<pid_t> masters(const Daemon& d) {
        const auto all = processes(d.exe);
        std::vector<pid_t> out;
        for (pid_t pid : all) {
            const std::string stat = read_file(sandbox_->path("/proc/" + std::to_string(pid) + "/stat"));
            const auto close = stat.rfind(')');
            if (close == std::string::npos || close + 4 >= stat.size()) continue;
            const pid_t parent = static_cast<pid_t>(std::stol(stat.substr(close + 4)));
            if (std::find(all.begin(), all.end(), parent) == all.end()) out.push_back(pid);
        }
        return out;
    }
    // Ends what the cell left: the unit's stop, then the daemon's own processes (the test's:
    // everything in the sandbox is).
    void stop_daemon(const Daemon& d) {
        sandbox_->exec({"systemctl", "stop", std::string(d.unit) + ".service"});
        for (pid_t pid : processes(d.exe)) sandbox_->exec({"kill", std::to_string(pid)});
        wait_until([&] { return processes(d.exe).empty(); }, 20);
        for (pid_t pid : processes(d.exe)) sandbox_->exec({"kill", "-9", std::to_string(pid)});
        wait_until([&] { return processes(d.exe).empty(); }, 10);
        sandbox_->exec({"systemctl", "reset-failed", std::string(d.unit) + ".service"});
    }
};
}  // namespace

TEST_P(DaemonEvidenceUnderSystemd, PidfileGoneAndPidfileNamingAnotherProgram) {
    boot();
    const Daemon& d = GetParam();
    const std::string name = d.service;
    sandbox_->exec({"systemd-run", "--unit=vxother", "/bin/sleep", "infinity"});
    const std::string other = show("vxother", "MainPID");
    for (const Cell& cell : kCells) {
        SCOPED_TRACE(name + ": " + cell.what);
        auto start = run("restartsrv_" + name, {"--restart"});
        ASSERT_EQ(start.status, 0) << start.out << start.err;
        wait_until([&] { return masters(d).size() == 1; }, 30);
        ASSERT_EQ(masters(d).size(), 1u);
        // A daemon systemd keeps in the foreground may write none (rsyslog under its unit).
        wait_until([&] { return std::filesystem::exists(sandbox_->path(d.pidfile)); }, 5);
        if (cell.fault == Fault::PidfileGone) {
            sandbox_->exec({"rm", "-f", d.pidfile});
        } else {
            stop_daemon(d);
            sandbox_->exec({"sh", "-c", "mkdir -p \"$(dirname $0)\" && echo " + other + " > $0", d.pidfile});
        }
        auto r = run("restartsrv_" + name, {action_option(cell.act)});
        EXPECT_EQ(r.status, cell.exit) << r.out << r.err;
        if (cell.act != Act::Status)
            wait_until([&] { return masters(d).size() == static_cast<size_t>(cell.masters_after); }, 10);
        EXPECT_EQ(masters(d).size(), static_cast<size_t>(cell.masters_after)) << r.out << r.err;
        EXPECT_EQ(show("vxother", "ActiveState"), "active") << "the other program is never signalled";
        stop_daemon(d);
        sandbox_->exec({"rm", "-f", d.pidfile});
    }
}

INSTANTIATE_TEST_SUITE_P(Debian, DaemonEvidenceUnderSystemd, ::testing::ValuesIn(kDaemons),
                         [](const auto& info) { return std::string(info.param.service); });
