// Graceful restarts, server roles and the startup log against a real systemd in a sandbox.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/SystemdSandbox.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"
#include "Util/Time.hpp"

using namespace testing_support;

namespace {
class ServiceState : public SandboxTest {
protected:
    std::string show(const std::string& unit, const std::string& property) { return sandbox_->systemctl_show(unit, property); }
    // examplehot's daemon: a shell that writes its pidfile and acts on SIGUSR1 as told.
    void hot_daemon(const std::string& on_usr1) {
        write_file(sandbox_->path("/run/vxhotd"),
                   "#!/bin/sh\necho $$ > /run/examplehot.pid\ntrap '" + on_usr1 + "' USR1\nwhile :; do sleep 0.05; done\n", 0755);
        sandbox_->install_unit("examplehot.service", "[Service]\nExecStart=/run/vxhotd\n");
        sandbox_->exec({"systemctl", "start", "examplehot"});
        wait_until([&] { return read_file(sandbox_->path("/run/examplehot.pid")).ends_with("\n"); });
    }
};
}  // namespace

TEST_F(ServiceState, ADaemonThatRestartsItselfOnTheSignalStaysUpThroughAGracefulRestart) {
    hot_daemon("exec \"$0\"");  // re-executes itself, and so rewrites its pidfile
    const std::string invocation = show("examplehot.service", "InvocationID");
    const std::string pid = show("examplehot.service", "MainPID");
    const auto before = std::filesystem::last_write_time(sandbox_->path("/run/examplehot.pid"));
    auto r = sandbox_->program("restartsrv_examplehot", {});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("gracefully"), std::string::npos) << r.out;
    EXPECT_EQ(show("examplehot.service", "InvocationID"), invocation) << "the unit was never stopped";
    EXPECT_EQ(show("examplehot.service", "MainPID"), pid) << "the daemon restarted in place";
    EXPECT_NE(std::filesystem::last_write_time(sandbox_->path("/run/examplehot.pid")), before) << "its pidfile was rewritten";
}

TEST_F(ServiceState, ABrokenConfigurationIsNeverSignalledAndTheRunningInstanceServesOn) {
    hot_daemon("echo signalled > /run/vxhot.signalled; exec \"$0\"");
    write_file(sandbox_->path("/run/examplehot.broken"), "");
    const std::string invocation = show("examplehot.service", "InvocationID");
    const std::string pid = show("examplehot.service", "MainPID");
    auto r = sandbox_->program("restartsrv_examplehot", {});
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("examplehot: syntax error on line 3"), std::string::npos) << "the test's own words: " << r.out;
    EXPECT_FALSE(std::filesystem::exists(sandbox_->path("/run/vxhot.signalled"))) << "no signal was sent";
    EXPECT_EQ(show("examplehot.service", "ActiveState"), "active");
    EXPECT_EQ(show("examplehot.service", "InvocationID"), invocation) << "never stopped";
    EXPECT_EQ(show("examplehot.service", "MainPID"), pid);
    // Mended, the graceful restart goes ahead.
    std::filesystem::remove(sandbox_->path("/run/examplehot.broken"));
    auto mended = sandbox_->program("restartsrv_examplehot", {});
    EXPECT_EQ(mended.status, 0) << mended.out << mended.err;
    EXPECT_TRUE(std::filesystem::exists(sandbox_->path("/run/vxhot.signalled")));
}

TEST_F(ServiceState, ADaemonThatIgnoresTheSignalGetsTheOrdinaryRestart) {
    hot_daemon("");
    const std::string invocation = show("examplehot.service", "InvocationID");
    auto r = sandbox_->program("restartsrv_examplehot", {});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(show("examplehot.service", "InvocationID"), invocation) << "stopped and started";
    // A pidfile naming a process that is gone: no signal, the ordinary restart at once.
    write_file(sandbox_->path("/run/examplehot.pid"), "999999\n");
    const std::string second = show("examplehot.service", "InvocationID");
    double start = Vexlan::Time::monotonic_seconds_f();
    auto stale = sandbox_->program("restartsrv_examplehot", {});
    EXPECT_EQ(stale.status, 0) << stale.out << stale.err;
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 10.0) << "no wait for a rewrite that cannot come";
    EXPECT_NE(show("examplehot.service", "InvocationID"), second);
}

TEST_F(ServiceState, AServiceNoRoleNeedsIsStoppedAndRefused) {
    VX_REQUIRE(std::filesystem::exists("/lib/systemd/system/nginx.service"), "nginx is not installed");
    sandbox_->exec({"systemctl", "start", "nginx"});
    ASSERT_EQ(show("nginx.service", "ActiveState"), "active");
    std::filesystem::create_directories(root_.state("/roles/disabled"));
    write_file(root_.state("/roles/disabled/WebServer"), "");
    auto r = sandbox_->program("restartsrv_nginx", {});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("not needed by any enabled server role"), std::string::npos) << r.err;
    EXPECT_EQ(show("nginx.service", "ActiveState"), "inactive");
    auto again = sandbox_->program("restartsrv_nginx", {});
    EXPECT_EQ(again.status, 1) << "and it is not started";
    EXPECT_EQ(show("nginx.service", "ActiveState"), "inactive");
}

TEST_F(ServiceState, AStartupLogErrorIsHighlightedOnATerminalAndPlainWhenPiped) {
    sandbox_->install_unit("vxlogger.service",
                           "[Service]\nExecStart=/bin/sh -c 'echo \"vxlogger: error: the configuration is broken\" >&2; "
                           "echo \"vxlogger: ready\"; exec sleep infinity'\n");
    // Journald takes the daemon's output in its own time: once it has it, every later
    // startup log (the unit's latest lines) shows it.
    sandbox_->exec({"systemctl", "start", "vxlogger"});
    wait_until([&] { return sandbox_->exec({"journalctl", "-u", "vxlogger"}).out.find("vxlogger: ready") != std::string::npos; });
    auto piped = sandbox_->program("restartsrv_vxlogger", {});
    EXPECT_EQ(piped.status, 0) << piped.out << piped.err;
    EXPECT_NE(piped.out.find("=== Startup Log ==="), std::string::npos) << piped.out;
    EXPECT_NE(piped.out.find("error: the configuration is broken"), std::string::npos) << piped.out;
    EXPECT_EQ(piped.out.find("\x1b["), std::string::npos) << "no colour when piped";
    // On a terminal (script gives the program one) the error line is coloured, the rest not.
    auto command = root_.command("restartsrv_vxlogger", {});
    std::string line = "TERM=xterm-256color " + root_.root() + "/bin/restartsrv_vxlogger";
    auto tty = sandbox_->exec({"script", "-qec", line, "/dev/null"});
    const auto at = tty.out.find("error: the configuration is broken");
    ASSERT_NE(at, std::string::npos) << tty.out;
    const std::string error_line = tty.out.substr(tty.out.rfind('\n', at) + 1, tty.out.find('\n', at) - tty.out.rfind('\n', at));
    EXPECT_NE(error_line.find("\x1b["), std::string::npos) << error_line;
    const auto ready = tty.out.find("vxlogger: ready");
    ASSERT_NE(ready, std::string::npos);
    const std::string plain_line = tty.out.substr(tty.out.rfind('\n', ready) + 1, tty.out.find('\n', ready) - tty.out.rfind('\n', ready));
    EXPECT_EQ(plain_line.find("\x1b[3"), std::string::npos) << plain_line;
}
