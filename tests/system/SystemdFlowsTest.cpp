// The action flows against a real systemd in a private sandbox.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/SystemdSandbox.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"
#include "Util/Time.hpp"

using namespace testing_support;

namespace {
class SystemdFlows : public SandboxTest {
protected:
    void simple_unit(const std::string& name, const std::string& extra = "") {
        sandbox_->install_unit(name + ".service", "[Service]\nType=simple\nExecStart=/bin/sleep infinity\n" + extra);
    }
    std::string state(const std::string& unit) { return sandbox_->systemctl_show(unit, "ActiveState"); }
    std::string main_pid(const std::string& unit) { return sandbox_->systemctl_show(unit, "MainPID"); }
    ProgramResult run(const std::string& name, const std::vector<std::string>& args = {}) {
        return sandbox_->program(name, args);
    }
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

TEST_F(SystemdFlows, AStopWhoseSuspensionCannotBeWrittenWarnsAndStillStops) {
    simple_unit("vxdemo");
    sandbox_->exec({"systemctl", "start", "vxdemo"});
    // A full file system under the suspension directory.
    const std::string dir = "/var/vexlan/svcmond/suspended";
    ASSERT_EQ(sandbox_->exec({"sh", "-c", "mkdir -p " + dir + " && mount -t tmpfs -o size=8k,mode=0700 tmpfs " + dir +
                                              " && (dd if=/dev/zero of=" + dir + "/fill bs=4k count=8 2>/dev/null; true)"})
                  .status,
              0);
    auto r = run("stopvxdemo");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(state("vxdemo.service"), "inactive") << "the stop went on";
    EXPECT_NE(r.out.find("could not be written"), std::string::npos) << "said on the terminal: " << r.out;
    EXPECT_NE(read_file(root_.product("/logs/error_log")).find("could not be written"), std::string::npos)
        << "and in the log";
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
    wait_until([&] { return sandbox_->exec({"sh", "-c", "grep -q ':4A6D ' /proc/net/tcp"}).status == 0; });
    const std::string holder = sandbox_->systemctl_show("holder.service", "MainPID");
    auto r = run("restartsrv_exampleports");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(state("exampleports.service"), "active");
    EXPECT_NE(state("holder.service"), "active") << "the listener on the port was ended";
    const std::string said = "Ending process " + holder + " (/usr/bin/python3 -c import socket,time\\ns=socket.socket()";
    EXPECT_NE(r.out.find(said), std::string::npos) << "the screen names what was ended: " << r.out;
    EXPECT_NE(r.out.find("user root) to free port 18765"), std::string::npos) << r.out;
    EXPECT_NE(read_file(root_.product("/logs/error_log")).find(said), std::string::npos) << "and so does the log";
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
    wait_until([&] { return state("vxkilled.service") == "inactive"; });
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
    wait_until([&] { return read_file(sandbox_->path("/run/examplehot.pid")).ends_with("\n"); });
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

TEST_F(SystemdFlows, ActionWordsWorkAndFlagsTakeNoValue) {
    simple_unit("vxdemo");
    for (const auto& [word, verdict, after] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"start", "started", "active"}, {"restart", "restarted", "active"}, {"stop", "stopped", "inactive"},
             {"start", "started", "active"}}) {
        auto r = run("restartsrv_vxdemo", {word});
        EXPECT_EQ(r.status, 0) << word << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("“vxdemo” " + verdict + " successfully."), std::string::npos) << word << "\n" << r.out;
        EXPECT_EQ(state("vxdemo.service"), after) << word;
    }
    const std::string pid = main_pid("vxdemo.service");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--stop=0"}, {"--restart=no"}, {"--verbose=0", "--stop"}, {"--attempt", "--stop"}, {"--status=1"}}) {
        auto r = run("restartsrv_vxdemo", args);
        EXPECT_EQ(r.status, 1) << args[0] << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(args[0].substr(0, args[0].find('='))), std::string::npos) << "the error names the option: " << r.err;
        EXPECT_EQ(r.out, "") << "nothing was done: " << args[0];
    }
    EXPECT_EQ(main_pid("vxdemo.service"), pid) << "no flag with a value stopped or restarted the unit";
}

TEST_F(SystemdFlows, AStopSystemdRefusesFailsAndOneWhoseCommandFailsIsJudgedByWhatIsLeft) {
    simple_unit("vxrefuse", "[Unit]\nRefuseManualStop=yes\n");
    simple_unit("vxbadstop", "ExecStop=/bin/false\n");
    sandbox_->exec({"systemctl", "start", "vxrefuse", "vxbadstop"});
    auto refused = run("stopvxrefuse");
    EXPECT_EQ(refused.status, 255) << refused.out << refused.err;
    EXPECT_NE(refused.out.find("Failed"), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find("Operation refused"), std::string::npos) << "systemd's reason is shown: " << refused.out;
    EXPECT_EQ(refused.out.find("stopped successfully"), std::string::npos);
    EXPECT_EQ(state("vxrefuse.service"), "active");
    EXPECT_NE(read_file(root_.product("/logs/error_log")).find("Operation refused"), std::string::npos) << "and logged";
    auto quiet = run("stopvxrefuse", {"--noverbose"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_NE(quiet.err.find("failed to stop"), std::string::npos) << quiet.err;
    // A stop command that fails while systemd still ends the daemon: stopped, with a warning
    // that names systemd's reason.
    auto failed = run("stopvxbadstop");
    EXPECT_EQ(failed.status, 0) << failed.out << failed.err;
    const std::string log = read_file(root_.product("/logs/error_log"));
    EXPECT_NE(log.find("The stop command of “vxbadstop” failed, but nothing of it is left running"), std::string::npos)
        << log;
    EXPECT_NE(log.find("control process exited with error code"), std::string::npos) << log;
    EXPECT_NE(failed.out.find("stopped successfully"), std::string::npos) << failed.out;
    EXPECT_EQ(state("vxbadstop.service"), "failed");
}

TEST_F(SystemdFlows, AUnitStillStartingHasSomethingToStop) {
    simple_unit("vxslow", "ExecStartPre=/bin/sleep 3\n");
    sandbox_->exec({"systemctl", "start", "--no-block", "vxslow"});
    auto r = run("stopvxslow");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("nothing to stop"), std::string::npos) << r.out;
    // Cut short while queued it is inactive, while running its start command failed; a start
    // left to finish would be active after its 3 s.
    std::string after;
    wait_until([&] {
        after = state("vxslow.service");
        return after != "activating" && after != "deactivating";
    });
    EXPECT_TRUE(after == "inactive" || after == "failed") << after << ": the start in progress was stopped, not left to finish";
}

TEST_F(SystemdFlows, ANameWithTheUnitSuffixIsTheSameService) {
    simple_unit("vxdemo");
    sandbox_->exec({"systemctl", "start", "vxdemo"});
    auto status = run("restartsrv_base", {"vxdemo.service", "--status"});
    EXPECT_EQ(status.status, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("(systemd check method)"), std::string::npos) << status.out;
    const std::string before = main_pid("vxdemo.service");
    auto restart = run("restartsrv_base", {"vxdemo.service"});
    EXPECT_EQ(restart.status, 0) << restart.out << restart.err;
    EXPECT_NE(main_pid("vxdemo.service"), before);
    auto dash = run("restartsrv_base", {"-x", "--status"});
    EXPECT_EQ(dash.status, 1) << "a name starting like an option names no service";
}

TEST_F(SystemdFlows, TheMainProcessIsTheServicesOwnEvenWhenItLooksLikeAWrapper) {
    // "/.../startvxwrap" looks like a start wrapper to the ignore list, but systemd says it
    // is the unit's main process.
    const std::string program = root_.root() + "/startvxwrap";
    std::filesystem::copy_file("/bin/sleep", program);
    sandbox_->install_unit("vxwrap.service", "[Service]\nType=exec\nExecStart=" + program + " infinity\n");
    sandbox_->exec({"systemctl", "start", "vxwrap"});
    auto status = run("restartsrv_vxwrap", {"--status"});
    EXPECT_EQ(status.status, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("startvxwrap"), std::string::npos) << status.out;
    auto stop = run("stopvxwrap");
    EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
    EXPECT_EQ(state("vxwrap.service"), "inactive");
}

TEST_F(SystemdFlows, AUnitThatFailsAtOnceIsReportedAtOnce) {
    // One lives long enough to be seen running once; the other may already be gone when its
    // main process is looked up, while systemd still calls the unit active. Only a second
    // look tells the truth about either.
    sandbox_->install_unit("vxfalse.service", "[Service]\nExecStart=/bin/sh -c 'sleep 0.05; exit 1'\n");
    sandbox_->install_unit("vxgone.service", "[Service]\nExecStart=/bin/false\n");
    for (const char* name : {"vxfalse", "vxgone"}) {
        double start = Vexlan::Time::monotonic_seconds_f();
        auto r = run(std::string("restartsrv_") + name);
        EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 10.0) << "no two-minute wait once systemd says it failed";
        EXPECT_EQ(r.status, 255) << name << r.out << r.err;
        EXPECT_NE(r.out.find("failed to start"), std::string::npos) << r.out;
    }
}

TEST_F(SystemdFlows, ARestartThatCouldNotStartLeavesTheServiceRunning) {
    simple_unit("vxdemo");
    sandbox_->exec({"systemctl", "start", "vxdemo"});
    const std::string before = main_pid("vxdemo.service");
    std::filesystem::remove_all(root_.product("/logs"));  // the start refuses without its log directory
    auto r = run("restartsrv_vxdemo");
    EXPECT_NE(r.status, 0) << r.out << r.err;
    EXPECT_EQ(state("vxdemo.service"), "active");
    EXPECT_EQ(main_pid("vxdemo.service"), before) << "the service was not stopped";
}

TEST_F(SystemdFlows, AReaderThatLeavesEarlyOrClosedOutputsNeverLeaveTheServiceDown) {
    simple_unit("vxdemo");
    sandbox_->exec({"systemctl", "start", "vxdemo"});
    const std::string program = root_.root() + "/bin/restartsrv_vxdemo";
    root_.command("restartsrv_vxdemo", {});  // makes the link
    // The shell waits for the whole pipeline: the program has ended when it returns.
    auto piped = sandbox_->exec({"/bin/sh", "-c", program + " | head -c 5; echo \" status=${PIPESTATUS:-?}\""});
    EXPECT_EQ(state("vxdemo.service"), "active") << piped.out << piped.err;
    auto closed = sandbox_->exec({"/bin/sh", "-c", program + " >&- 2>&-; echo $?"});
    EXPECT_EQ(closed.out, "0\n") << closed.err;
    EXPECT_EQ(state("vxdemo.service"), "active");
    EXPECT_EQ(std::filesystem::file_size(root_.state("/restartsrv/locks/vxdemo")), 0u) << "no output went into the lock file";
}

TEST_F(SystemdFlows, AGracefulRestartNeverSignalsWhatAJunkPidfileNames) {
    sandbox_->install_unit("examplehot.service",
                           "[Service]\nExecStart=/bin/sh -c 'echo $$$$ > /run/examplehot.pid; trap \"\" USR1; exec sleep infinity'\n");
    // A canary of the test that would note any SIGUSR1.
    sandbox_->install_unit("vxcanary.service",
                           "[Service]\nExecStart=/bin/sh -c 'trap \"echo hit >> /run/canary\" USR1; while :; do sleep 0.1; done'\n");
    sandbox_->exec({"systemctl", "start", "examplehot", "vxcanary"});
    for (const std::string junk : {"4294967295", "4294967296", "1", "abc"}) {
        write_file(sandbox_->path("/run/examplehot.pid"), junk + "\n");
        const std::string before = main_pid("examplehot.service");
        auto r = run("restartsrv_examplehot");
        EXPECT_EQ(r.status, 0) << junk << "\n" << r.out << r.err;
        EXPECT_NE(main_pid("examplehot.service"), before) << "the ordinary restart ran for " << junk;
    }
    // The canary notes a signal of ours, sent now: had the program sent one earlier, it would
    // stand before ours.
    sandbox_->exec({"systemctl", "kill", "--signal=USR1", "vxcanary"});
    // The trap creates the file before it writes the line: wait for the line itself.
    wait_until([&] { return read_file(sandbox_->path("/run/canary")).ends_with("\n"); });
    EXPECT_EQ(read_file(sandbox_->path("/run/canary")), "hit\n") << "no process but ours sent a SIGUSR1";
    EXPECT_EQ(state("vxcanary.service"), "active");
}

TEST_F(SystemdFlows, AnUnprivilegedCallerGetsTrueAnswersOrIsToldWhyNot) {
    simple_unit("vxdemo");
    sandbox_->exec({"systemctl", "start", "vxdemo"});
    const std::string pid = main_pid("vxdemo.service");
    root_.command("restartsrv_vxdemo", {});
    root_.command("stopvxdemo", {});
    auto as_nobody = [&](const std::string& name, const std::vector<std::string>& args) {
        std::vector<std::string> cmd = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", root_.root() + "/bin/" + name};
        cmd.insert(cmd.end(), args.begin(), args.end());
        return sandbox_->exec(cmd);
    };
    for (const auto& [name, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"restartsrv_vxdemo", {}}, {"stopvxdemo", {}}, {"restartsrv_vxdemo", {"start"}}, {"restartsrv_vxdemo", {"--reload"}}}) {
        auto r = as_nobody(name, args);
        EXPECT_EQ(r.status, 1) << name << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find("needs root privileges"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    auto refused = checked_result_record(as_nobody("restartsrv_vxdemo", {"--json"}).out);
    EXPECT_EQ(refused["state"], "refused");
    EXPECT_EQ(refused["error_kind"], "not-privileged");
    EXPECT_EQ(main_pid("vxdemo.service"), pid) << "nothing was stopped or restarted";
    EXPECT_FALSE(std::filesystem::exists(root_.product("/logs/restartsrv_audit_log")));

    // Without a system bus an unprivileged caller cannot ask systemd: it says so.
    auto blind = as_nobody("restartsrv_vxdemo", {"--status"});
    EXPECT_EQ(blind.status, 1);
    EXPECT_NE(blind.err.find("cannot be determined"), std::string::npos) << blind.err;
    EXPECT_EQ(blind.err.find("is down"), std::string::npos) << blind.err;
    auto blind_record = checked_result_record(as_nobody("restartsrv_vxdemo", {"--status", "--json"}).out);
    EXPECT_EQ(blind_record["state"], "cannot-tell");
    EXPECT_EQ(blind_record["exit"], 1);
    // With one, systemd answers anyone.
    std::filesystem::remove(sandbox_->path("/etc/systemd/system/dbus.socket"));
    sandbox_->exec({"systemctl", "daemon-reload"});
    sandbox_->exec({"systemctl", "start", "dbus.socket", "dbus.service"});
    auto status = as_nobody("restartsrv_vxdemo", {"--status"});
    EXPECT_EQ(status.status, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("with PID " + pid), std::string::npos) << status.out;
    EXPECT_EQ(as_nobody("restartsrv_vxdemo", {"--check"}).status, 0);
    sandbox_->exec({"systemctl", "stop", "vxdemo"});
    auto down = as_nobody("restartsrv_vxdemo", {"--status"});
    EXPECT_EQ(down.status, 1);
    EXPECT_NE(down.err.find("is down"), std::string::npos) << down.err;
}
