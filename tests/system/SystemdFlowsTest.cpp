// The action flows against a real systemd in a private sandbox.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/SystemdSandbox.hpp"
#include "Util/Time.hpp"

using namespace testing_support;

namespace {
class SystemdFlows : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        VX_REQUIRE(SystemdSandbox::available(&why), "no systemd sandbox: " << why);
        sandbox_ = std::make_unique<SystemdSandbox>(root_);
        ASSERT_TRUE(sandbox_->ready()) << sandbox_->why_not();
    }
    void simple_unit(const std::string& name, const std::string& extra = "") {
        sandbox_->install_unit(name + ".service", "[Service]\nType=simple\nExecStart=/bin/sleep infinity\n" + extra);
    }
    std::string state(const std::string& unit) { return sandbox_->systemctl_show(unit, "ActiveState"); }
    std::string main_pid(const std::string& unit) { return sandbox_->systemctl_show(unit, "MainPID"); }
    ProgramResult run(const std::string& name, const std::vector<std::string>& args = {}) {
        return sandbox_->program(name, args);
    }
    ProgramRoot root_;
    std::unique_ptr<SystemdSandbox> sandbox_;
};
}  // namespace

TEST_F(SystemdFlows, RestartOfARunningUnitStartsANewMainProcess) {
    simple_unit("vxdemo");
    sandbox_->exec({"systemctl", "start", "vxdemo"});
    std::string before = main_pid("vxdemo.service");
    auto r = run("restartsrv_vxdemo");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("“vxdemo” restarted successfully."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("=== Service Status ==="), std::string::npos);
    EXPECT_EQ(state("vxdemo.service"), "active");
    EXPECT_NE(main_pid("vxdemo.service"), before);
}

TEST_F(SystemdFlows, RestartOfAStoppedUnitBecomesAStart) {
    simple_unit("vxdemo");
    auto r = run("restartsrv_vxdemo");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("“vxdemo” started successfully."), std::string::npos) << r.out;
    EXPECT_EQ(state("vxdemo.service"), "active");
}

TEST_F(SystemdFlows, StopOfARunningAndOfAStoppedUnit) {
    simple_unit("vxdemo");
    sandbox_->exec({"systemctl", "start", "vxdemo"});
    auto r = run("stopvxdemo");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("“vxdemo” stopped successfully."), std::string::npos) << r.out;
    EXPECT_EQ(state("vxdemo.service"), "inactive");
    EXPECT_TRUE(std::filesystem::exists(root_.state("/svcmond/suspended/vxdemo.suspended"))) << "monitoring is suspended";
    auto again = run("stopvxdemo");
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("nothing to stop"), std::string::npos) << again.out;
}

TEST_F(SystemdFlows, StatusAndCheckPrintTheirLinesWithTheRightStatus) {
    simple_unit("vxdemo");
    auto down = run("restartsrv_vxdemo", {"--status"});
    EXPECT_EQ(down.status, 1);
    EXPECT_NE(down.err.find("is down"), std::string::npos) << down.err;
    sandbox_->exec({"systemctl", "start", "vxdemo"});
    auto up = run("restartsrv_vxdemo", {"--status"});
    EXPECT_EQ(up.status, 0) << up.err;
    EXPECT_NE(up.out.find("vxdemo"), std::string::npos);
    EXPECT_NE(up.out.find("(systemd check method)"), std::string::npos) << up.out;
    auto check = run("restartsrv_vxdemo", {"--check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("Service check for “vxdemo” passed"), std::string::npos) << check.out;
}

TEST_F(SystemdFlows, ReloadWithAndWithoutSupport) {
    sandbox_->install_unit("examplereload.service",
                           "[Service]\nExecStart=/bin/sleep infinity\nExecReload=/bin/sh -c 'echo reloaded > /run/reloaded'\n");
    simple_unit("vxdemo");
    sandbox_->exec({"systemctl", "start", "examplereload", "vxdemo"});
    auto with = run("restartsrv_examplereload", {"--reload"});
    EXPECT_EQ(with.status, 0) << with.out << with.err;
    EXPECT_NE(with.out.find("“examplereload” reloaded successfully."), std::string::npos) << with.out;
    EXPECT_TRUE(std::filesystem::exists(sandbox_->path("/run/reloaded")));
    auto without = run("restartsrv_vxdemo", {"--reload"});
    EXPECT_EQ(without.status, 0);
    EXPECT_EQ(without.out.find("successfully"), std::string::npos) << "no verdict for a reload that did nothing";
}

TEST_F(SystemdFlows, StartWithThreeAttemptsOnAUnitThatFailsTwice) {
    sandbox_->install_unit("exampleretry.service",
                           "[Service]\nType=oneshot\nRemainAfterExit=yes\n"
                           "ExecStart=/bin/sh -c 'n=$(cat /run/tries 2>/dev/null || echo 0); n=$((n+1)); echo $n > /run/tries; "
                           "[ $n -ge 3 ]'\n");
    auto r = run("restartsrv_exampleretry");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(sandbox_->path("/run/tries")), "3\n");
    EXPECT_EQ(state("exampleretry.service"), "active");
}

TEST_F(SystemdFlows, ASecondAttemptFreesTheServicesPort) {
    // The service binds its port and daemonises; a listener of the test holds the port first.
    sandbox_->install_unit("exampleports.service",
                           "[Service]\nType=forking\n"
                           "ExecStart=/usr/bin/python3 -c \"import os,socket,sys,time\\n"
                           "s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\\n"
                           "s.bind(('127.0.0.1', 18765)); s.listen()\\n"
                           "os.fork() and sys.exit(0)\\ntime.sleep(100000)\"\n");
    sandbox_->exec({"systemd-run", "--unit=holder", "/usr/bin/python3", "-c",
                    "import socket,time\ns=socket.socket()\ns.bind(('127.0.0.1', 18765))\ns.listen()\ntime.sleep(100000)"});
    for (int i = 0; i < 100 && sandbox_->exec({"sh", "-c", "grep -q ':4A6D ' /proc/net/tcp"}).status != 0; ++i)
        Vexlan::Time::sleep_for(0.05);
    auto r = run("restartsrv_exampleports");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(state("exampleports.service"), "active");
    EXPECT_NE(state("holder.service"), "active") << "the listener on the port was ended";
}

TEST_F(SystemdFlows, AStalePidfileIsDeletedBeforeTheStart) {
    sandbox_->install_unit("exampleplain.service",
                           "[Service]\nExecStart=/bin/sh -c 'echo $$$$ > /run/exampleplain.pid; exec sleep infinity'\n");
    write_file(sandbox_->path("/run/exampleplain.pid"), "999999\n");
    auto r = run("restartsrv_exampleplain");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(sandbox_->path("/run/exampleplain.pid")), main_pid("exampleplain.service") + "\n");
}

TEST_F(SystemdFlows, ADisabledButRunningServiceIsStoppedThenRefused) {
    sandbox_->install_unit("exampleplain.service",
                           "[Service]\nExecStart=/bin/sh -c 'echo $$$$ > /run/exampleplain.pid; exec sleep infinity'\n");
    sandbox_->exec({"systemctl", "start", "exampleplain"});
    std::filesystem::create_directories(root_.state("/services/disabled"));
    write_file(root_.state("/services/disabled/exampleplain"), "");
    auto r = run("restartsrv_exampleplain");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is disabled"), std::string::npos) << r.err;
    EXPECT_EQ(state("exampleplain.service"), "inactive");
}

TEST_F(SystemdFlows, AStopThatSystemdRunsAfterItKilledTheMainProcessExitsAtOnce) {
    std::string stop = root_.command("stopvxkilled", {}).at(7);
    sandbox_->install_unit("vxkilled.service",
                           "[Service]\nExecStart=/bin/sleep infinity\n"
                           // exec: the stop command must be a child of PID 1 itself
                           "ExecStop=/bin/sh -c 'exec 2>/run/stop-err; exec " + stop + " --systemd-service=vxkilled.service'\n");
    sandbox_->exec({"systemctl", "start", "vxkilled"});
    sandbox_->exec({"systemctl", "kill", "--signal=TERM", "--kill-who=main", "vxkilled"});
    for (int i = 0; i < 100 && state("vxkilled.service") != "inactive"; ++i) Vexlan::Time::sleep_for(0.05);
    EXPECT_EQ(state("vxkilled.service"), "inactive");
    EXPECT_EQ(sandbox_->systemctl_show("vxkilled.service", "Result"), "success") << "the stop command exited 0";
    EXPECT_EQ(read_file(root_.product("/logs/restartsrv_audit_log")).find("stopvxkilled"), std::string::npos)
        << "no audit record when the parent is PID 1";
    EXPECT_NE(read_file(sandbox_->path("/run/stop-err")).find("SIGTERM"), std::string::npos) << read_file(sandbox_->path("/run/stop-err"));
}

TEST_F(SystemdFlows, DebiansOwnCronUnitIsRestarted) {
    VX_REQUIRE(std::filesystem::exists("/lib/systemd/system/cron.service"), "cron is not installed");
    auto r = run("restartsrv_cron");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(state("cron.service"), "active");
    auto status = run("restartsrv_cron", {"--status"});
    EXPECT_NE(status.out.find("cron"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("(systemd check method)"), std::string::npos) << status.out;
}

TEST_F(SystemdFlows, AGracefulRestartKeepsTheMainProcessUnlessForbidden) {
    sandbox_->install_unit("examplehot.service",
                           "[Service]\nExecStart=/bin/sh -c 'echo $$$$ > /run/examplehot.pid; "
                           "trap \"sleep 0.2; echo $$$$ > /run/examplehot.pid\" USR1; while :; do sleep 0.1; done'\n");
    sandbox_->exec({"systemctl", "start", "examplehot"});
    for (int i = 0; i < 100 && !std::filesystem::exists(sandbox_->path("/run/examplehot.pid")); ++i) Vexlan::Time::sleep_for(0.05);
    std::string before = main_pid("examplehot.service");
    auto graceful = run("restartsrv_examplehot");
    EXPECT_EQ(graceful.status, 0) << graceful.out << graceful.err;
    EXPECT_NE(graceful.out.find("gracefully"), std::string::npos) << graceful.out;
    EXPECT_EQ(main_pid("examplehot.service"), before) << "a graceful restart keeps the process";
    auto full = run("restartsrv_examplehot", {"--no-graceful"});
    EXPECT_EQ(full.status, 0) << full.out << full.err;
    EXPECT_EQ(full.out.find("gracefully"), std::string::npos) << full.out;
    EXPECT_NE(main_pid("examplehot.service"), before);
}
