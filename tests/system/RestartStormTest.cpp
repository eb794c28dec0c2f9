// Many callers restarting one service at once: the restart lock orders them, and a caller
// whose wish a concurrent restart already fulfilled does not restart the service again.
#include <gtest/gtest.h>

#include "Util/Text.hpp"
#include "support/SystemdSandbox.hpp"
#include "support/TestSupport.hpp"

using namespace testing_support;

namespace {
class RestartStorm : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        sandbox_->install_unit("vxstorm.service", "[Service]\nExecStart=/bin/sleep infinity\n");
        ASSERT_EQ(sandbox_->exec({"systemctl", "start", "vxstorm"}).status, 0);
    }
    std::string show(const char* property) { return sandbox_->systemctl_show("vxstorm.service", property); }
    // How often systemd started the unit, from its own journal.
    int starts() {
        auto r = sandbox_->exec(
            {"sh", "-c", "journalctl -b -u vxstorm.service -o cat --no-pager | grep -c '^Started '"});
        return std::stoi(r.out.empty() ? "0" : r.out);
    }
    std::string program(const std::string& name) { return root_.command(name, {})[7]; }
};
}  // namespace

TEST_F(RestartStorm, TwelveConcurrentRestartsRestartOnceOrTwiceAndAllSucceed) {
    const std::string program = this->program("restartsrv_vxstorm");
    const int before = starts();
    auto r = sandbox_->exec({"sh", "-c",
                             "for i in 1 2 3 4 5 6 7 8 9 10 11 12; do (" + program +
                                 " > /run/storm.$i 2>&1; echo $? > /run/storm.$i.rc) & done; wait; cat "
                                 "/run/storm.*.rc | tr -d '\\n'"});
    EXPECT_EQ(r.out, "000000000000") << "every caller exits 0";
    EXPECT_EQ(show("ActiveState"), "active");
    EXPECT_EQ(show("Result"), "success") << "never left failed by the start limit";
    const int restarts = starts() - before;
    EXPECT_GE(restarts, 1);
    EXPECT_LE(restarts, 3) << "systemd saw " << restarts << " starts for twelve callers";
    auto told = sandbox_->exec({"sh", "-c", "grep -l 'restarted by a concurrent call' /run/storm.* | wc -l"});
    EXPECT_GE(std::stoi(told.out), 12 - restarts) << "the callers that did not restart say why";
    RecordProperty("starts_for_twelve_callers", restarts);
}

TEST_F(RestartStorm, ACallThatWaitedForTheLockActsOnTheServiceAsItIsThen) {
    // The test holds the lock; a stop asks while the unit is stopped, then the unit is
    // started behind its back: once it has the lock, the stop must see it running.
    ASSERT_EQ(sandbox_->exec({"systemctl", "stop", "vxstorm"}).status, 0);
    const std::string lock = "/var/vexlan/restartsrv/locks/vxstorm", stop = program("stopvxstorm");
    const std::string wait_for = "i=0; until [ $i -ge 1000 ] || ";
    sandbox_->exec(
        {"sh", "-c",
         "mkdir -p -m 0700 /var/vexlan/restartsrv/locks; flock -o " + lock +
             " sh -c 'touch /run/held; until [ -e /run/go ]; do sleep 0.01; done' & " + wait_for +
             "[ -e /run/held ]; do i=$((i+1)); sleep 0.01; done; " + stop + " > /run/s.out 2>&1 & b=$!; " +
             wait_for + "ls -l /proc/$b/fd 2>/dev/null | grep -q " + lock +
             "; do i=$((i+1)); sleep 0.01; done; systemctl start vxstorm; touch /run/go; wait $b"});
    const std::string said = read_file(sandbox_->path("/run/s.out"));
    EXPECT_EQ(show("ActiveState"), "inactive") << said;
    EXPECT_NE(said.find("stopped successfully"), std::string::npos) << said;
}

TEST_F(RestartStorm, AStopBehindARestartStillStopsAndALaterRestartStillRestarts) {
    // The stop asks while the restart holds the lock: it is a different wish, and runs.
    const std::string restart = program("restartsrv_vxstorm"), stop = program("stopvxstorm");
    const std::string lock = "/var/vexlan/restartsrv/locks/vxstorm";
    auto r = sandbox_->exec({"sh", "-c",
                             restart + " > /run/r.out 2>&1 & i=0; until [ $i -ge 1000 ] || { [ -e " + lock +
                                 " ] && ! flock -n " + lock +
                                 " true 2>/dev/null; }; do i=$((i+1)); sleep 0.01; done; " + stop +
                                 " > /run/s.out 2>&1; echo $?; wait"});
    const std::string said =
        read_file(sandbox_->path("/run/r.out")) + read_file(sandbox_->path("/run/s.out"));
    EXPECT_EQ(Vexlan::Text::trim(r.out), "0") << said;
    EXPECT_EQ(show("ActiveState"), "inactive") << said;
    // A request that comes after the last restart finished restarts again.
    ASSERT_EQ(sandbox_->exec({"systemctl", "start", "vxstorm"}).status, 0);
    const std::string first = show("MainPID");
    ASSERT_EQ(sandbox_->program("restartsrv_vxstorm", {}).status, 0);
    const std::string second = show("MainPID");
    ASSERT_EQ(sandbox_->program("restartsrv_vxstorm", {}).status, 0);
    EXPECT_NE(show("MainPID"), second);
    EXPECT_NE(second, first);
}

TEST_F(RestartStorm, OnlyACallersRestartAfterTheRequestIsTakenForOne) {
    // The test holds the lock while a caller waits for it; what happens to the unit meanwhile
    // decides whether that caller may skip its own restart.
    const std::string lock = "/var/vexlan/restartsrv/locks/vxstorm", program = this->program("restartsrv_vxstorm");
    const std::string wait_for = "i=0; until [ $i -ge 1000 ] || ";
    auto waiter = [&](const std::string& meanwhile, const std::string& before_exec) {
        sandbox_->exec({"sh", "-c",
                        "rm -f /run/held /run/go /run/w.out; mkdir -p -m 0700 /var/vexlan/restartsrv/locks; flock -o " +
                            lock + " sh -c 'touch /run/held; until [ -e /run/go ]; do sleep 0.01; done' & " +
                            wait_for + "[ -e /run/held ]; do i=$((i+1)); sleep 0.01; done; bash -c '" + before_exec +
                            "exec " + program + "' > /run/w.out 2>&1 & b=$!; " + meanwhile + "; " + wait_for +
                            "ls -l /proc/$b/fd 2>/dev/null | grep -q " + lock +
                            "; do i=$((i+1)); sleep 0.01; done; systemctl show -p MainPID --value vxstorm > /run/mid; "
                            "touch /run/go; wait $b; echo $? > /run/w.rc"});
        return std::pair{read_file(sandbox_->path("/run/w.out")), read_file(sandbox_->path("/run/w.rc"))};
    };
    // Exec'd by a shell that forked before a restart which finished before the call was made
    // (the caller changed its configuration in between): the call restarts the service.
    auto [said, rc] = waiter("systemctl restart vxstorm; touch /run/restarted",
                             "until [ -e /run/restarted ]; do sleep 0.01; done; ");
    EXPECT_EQ(rc, "0\n") << said;
    EXPECT_EQ(said.find("concurrent call"), std::string::npos) << said;
    EXPECT_NE(show("MainPID"), Vexlan::Text::trim(read_file(sandbox_->path("/run/mid")))) << said;
    // A unit systemd keeps restarting by itself: its young processes are no caller's restart,
    // and the call's own start of it fails.
    sandbox_->install_unit("vxstorm.service",
                           "[Unit]\nStartLimitIntervalSec=0\n[Service]\nExecStart=/bin/sh -c 'sleep 0.3; exit 1'\n"
                           "Restart=always\nRestartSec=0.2\n");
    ASSERT_EQ(sandbox_->exec({"systemctl", "restart", "vxstorm"}).status, 0);
    wait_until([&] { return std::stol("0" + show("NRestarts")) >= 2; });
    auto [looping, looping_rc] = waiter("true", "");
    EXPECT_EQ(looping_rc, "255\n") << looping;
    EXPECT_EQ(looping.find("concurrent call"), std::string::npos) << looping;
    sandbox_->exec({"systemctl", "stop", "vxstorm"});
}
