// Services that have only an init script, on a host where systemd runs, and the rules of
// the init.d stop's pidfile, inside a systemd sandbox.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "Process/ProcFs.hpp"
#include "ServiceManager/Base.hpp"
#include "support/InsideSandbox.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/SystemdSandbox.hpp"
#include "support/TestSupport.hpp"
#include "Util/Time.hpp"

using namespace testing_support;

namespace {
const char* kUserScript = R"(#!/bin/sh
### BEGIN INIT INFO
# Provides: vxuser
# Required-Start:
# Required-Stop:
# Default-Start: 2 3 4 5
# Default-Stop:
### END INIT INFO
. /lib/lsb/init-functions
DAEMON=/run/vxuserd
PIDFILE=/run/vxuser.pid
case "$1" in
start) start-stop-daemon --start --background --make-pidfile --pidfile $PIDFILE --chuid nobody --exec $DAEMON -- infinity ;;
stop) start-stop-daemon --stop --oknodo --pidfile $PIDFILE --retry 5; rm -f $PIDFILE ;;
status) status_of_proc -p $PIDFILE $DAEMON vxuser ;;
*) exit 2 ;;
esac
)";
}  // namespace

TEST(InitdOnSystemd, ADaemonOfItsOwnUserInTheScriptsGeneratedUnitIsUp) {
    std::string why;
    VX_REQUIRE(SystemdSandbox::available(&why), "no systemd sandbox: " << why);
    ProgramRoot root;
    SystemdSandbox sandbox(root);
    ASSERT_TRUE(sandbox.ready()) << sandbox.why_not();
    sandbox.exec({"cp", "/bin/sleep", "/run/vxuserd"});
    write_file(sandbox.path("/etc/init.d/vxuser"), kUserScript, 0755);
    sandbox.exec({"systemctl", "daemon-reload"});

    auto start = sandbox.program("restartsrv_vxuser", {});
    EXPECT_EQ(start.status, 0) << start.out << start.err;
    auto pid = sandbox.exec({"cat", "/run/vxuser.pid"}).out;
    ASSERT_FALSE(pid.empty());
    pid.pop_back();
    EXPECT_EQ(sandbox.exec({"stat", "-c", "%u", "/proc/" + pid}).out, "65534\n") << "the daemon runs as nobody";
    EXPECT_NE(read_file(sandbox.path("/proc/" + pid + "/cgroup")).find("vxuser.service"), std::string::npos);
    auto status = sandbox.program("restartsrv_vxuser", {"--status"});
    EXPECT_EQ(status.status, 0) << status.out << status.err;
    EXPECT_NE(status.out.find(pid), std::string::npos) << status.out;

    auto stop = sandbox.program("stopvxuser", {});
    EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
    EXPECT_EQ(sandbox.exec({"test", "-d", "/proc/" + pid}).status, 1) << "the daemon is gone";
    // The same program run by the same user, but outside the service's unit, is not it.
    sandbox.exec({"sh", "-c", "setpriv --reuid=65534 --regid=65534 --clear-groups /run/vxuserd 300 >/dev/null 2>&1 &"});
    auto down = sandbox.program("restartsrv_vxuser", {"--status"});
    EXPECT_EQ(down.status, 1) << down.out << down.err;
    EXPECT_NE(down.err.find("is down"), std::string::npos) << down.err;
}

TEST(InitdPidfiles, OnlyTheServicesOwnConfirmedProcessIsSignalled) {
    VX_RUN_INSIDE_SANDBOX();
    ScratchDir dir;
    const std::string program = unique_copy(dir, "/bin/sleep", "vxpiddaemon");
    Child canary({"sleep", "300"});
    Child daemon({program, "300"});
    wait_for_exec(daemon.pid(), "vxpiddaemon");
    wait_for_exec(canary.pid(), "sleep");
    auto srv = Vexlan::ServiceManager::make_service<Vexlan::ServiceManager::Base>(
        {{"service", "vxpid"}, {"pidfile", "/run/vxpid.pid"}, {"command_line_regex", "vxpiddaemon"}, {"service_binary", ""}});
    srv->set_argv({"--initd"});
    for (const std::string& named : {std::string("1"), std::to_string(::getpid()), std::to_string(::getppid()), std::string("junk"),
                                     std::string("4294967297"), std::to_string(canary.pid())}) {
        write_file("/run/vxpid.pid", named + "\n");
        EXPECT_TRUE(srv->service_manager().stop(*srv));
        EXPECT_TRUE(canary.alive()) << "pidfile naming " << named;
    }
    // systemd answers TERM by re-executing itself, which its journal would tell.
    EXPECT_NE(sh("journalctl -q -b --no-pager | grep -q Reexecuting"), 0) << "PID 1 got no signal";
    write_file("/run/vxpid.pid", std::to_string(daemon.pid()) + "\n");
    EXPECT_TRUE(srv->service_manager().stop(*srv));
    wait_until([&] { return !daemon.alive(); });
    EXPECT_FALSE(daemon.alive()) << "the service's own process was ended";
}
