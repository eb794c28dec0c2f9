// Debian's own init scripts (memcached, nginx, cron) on this machine, where no systemd runs
// as PID 1, driven by the real program in a private root. Each test starts and stops its
// daemon itself; a daemon already running here is not the test's to touch.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "Process/ProcFs.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"
#include "Util/Time.hpp"

using namespace testing_support;

namespace {
class InitdDaemons : public ::testing::Test {
protected:
    void SetUp() override { VX_REQUIRE(can_unshare(), "needs root and mount namespaces"); }
    void TearDown() override {
        if (!script_.empty() && !pids_of(program_).empty()) run_command({script_, "stop"});
    }
    // Runs only when the daemon is installed and not already running here.
    bool adopt(const std::string& script, const std::string& program) {
        if (!std::filesystem::exists(script) || !std::filesystem::exists(program)) return false;
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
    // None of the program's own files stays open in the daemon.
    void expect_no_inherited_descriptors(pid_t pid) {
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
            std::error_code ec;
            std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
            EXPECT_EQ(target.find("vexlan"), std::string::npos) << "fd " << fd.path().filename() << " -> " << target;
            EXPECT_EQ(target.find(root_.root()), std::string::npos) << "fd " << fd.path().filename() << " -> " << target;
        }
    }
    ProgramRoot root_;
    std::string script_, program_;
};
}  // namespace

// One daemon through its whole life: start, status, check, restart, stop, down.
#define VX_LIFE_CYCLE(service, startup_text)                                                            \
    do {                                                                                                \
        auto start = root_.run("restartsrv_" service, {});                                              \
        EXPECT_EQ(start.status, 0) << start.out << start.err;                                           \
        EXPECT_NE(start.out.find("“" service "” started successfully."), std::string::npos) << start.out; \
        auto pids = wait_for_pids(true);                                                                \
        ASSERT_FALSE(pids.empty()) << "the daemon runs";                                                 \
        expect_no_inherited_descriptors(pids.front());                                                 \
        EXPECT_NE(read_file(root_.state("/restartsrv/startup_logs/" service)).find(startup_text), std::string::npos); \
        auto status = root_.run("restartsrv_" service, {"--status"});                                   \
        EXPECT_EQ(status.status, 0) << status.out << status.err;                                        \
        EXPECT_EQ(root_.run("restartsrv_" service, {"--check"}).status, 0);                             \
        auto restart = root_.run("restartsrv_" service, {});                                            \
        EXPECT_EQ(restart.status, 0) << restart.out << restart.err;                                     \
        EXPECT_NE(restart.out.find("restarted successfully"), std::string::npos) << restart.out;       \
        EXPECT_FALSE(wait_for_pids(true).empty());                                                      \
        EXPECT_NE(wait_for_pids(true), pids) << "a new daemon";                                         \
        auto stop = root_.run("stop" service, {});                                                      \
        EXPECT_EQ(stop.status, 0) << stop.out << stop.err;                                              \
        EXPECT_TRUE(wait_for_pids(false).empty()) << "the daemon is gone";                              \
        auto down = root_.run("restartsrv_" service, {"--status"});                                     \
        EXPECT_EQ(down.status, 1);                                                                      \
        EXPECT_NE(down.err.find("is down"), std::string::npos) << down.err;                            \
    } while (0)

TEST_F(InitdDaemons, Memcached) {
    VX_REQUIRE(adopt("/etc/init.d/memcached", "/usr/bin/memcached"), "memcached is not installed, or already runs");
    VX_LIFE_CYCLE("memcached", "Starting memcached");
}

TEST_F(InitdDaemons, Nginx) {
    VX_REQUIRE(adopt("/etc/init.d/nginx", "/usr/sbin/nginx"), "nginx is not installed, or already runs");
    VX_LIFE_CYCLE("nginx", "Starting nginx");
}

TEST_F(InitdDaemons, Cron) {
    VX_REQUIRE(adopt("/etc/init.d/cron", "/usr/sbin/cron"), "cron is not installed, or already runs");
    VX_LIFE_CYCLE("cron", "Starting periodic command scheduler");
}

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
    EXPECT_NE(status.out.find("memcached is running"), std::string::npos) << status.out;
    EXPECT_EQ(as_nobody("restartsrv_memcached", {"--check"}).status, 0);
    for (const std::string name : {"stopmemcached", "restartsrv_memcached", "startmemcached"}) {
        auto r = as_nobody(name, {});
        EXPECT_EQ(r.status, 1) << name << r.out << r.err;
        EXPECT_NE(r.err.find("needs root privileges"), std::string::npos) << r.err;
    }
    EXPECT_EQ(pids_of(program_), pids) << "the daemon was not touched";
}
