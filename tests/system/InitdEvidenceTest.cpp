// Init-script services judged by evidence: processes confirmed as the daemon's beat the
// script's own status answer both ways, and a pidfile the program refuses stays refused.
// Everything runs inside a systemd sandbox (its pid namespace holds the daemons) with
// --initd, so only the script, the pidfile and /proc speak.
#include <gtest/gtest.h>

#include "Util/Text.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/SystemdSandbox.hpp"
#include "support/TestSupport.hpp"

using namespace testing_support;

namespace {
// How the program is called: plainly; exec'd by a shell whose pid the pidfile holds; by such
// a shell; or by a process of the daemon's own program (a copy of sh, so that it can call the
// program) whose pid the pidfile holds: the one ancestor every identity rule would confirm.
enum class Via { Plain, ExecSelf, Parent, DaemonParent };

struct Row {
    const char* what;
    bool start_first;    // the daemon runs before the action
    const char* setup;   // shell run before the action (NAME is the service)
    const char* stop;    // the script's stop action
    const char* daemon;  // how the script names its daemon
    Via via;             // how the program is called (to make a pidfile name it or its parent)
    std::vector<std::string> args;
    int exit;
    int daemons_after;  // processes of the daemon's program afterwards
    const char* start = nullptr;             // the script's start action, when not the plain one
    const char* pidfile = "/run/NAME.pid";  // the pidfile the script declares
};

const char* kStopForReal = "start-stop-daemon --stop --oknodo --pidfile $PIDFILE --retry 5; rm -f $PIDFILE";
// Exits 0 and stops nothing: the pidfile goes, the daemon stays.
const char* kStopNothing = "rm -f $PIDFILE";
// Stops the daemon by its program, as scripts do whose pidfile may be stale.
const char* kStopByProgram = "start-stop-daemon --stop --oknodo --exec $DAEMON --retry 5; rm -f $PIDFILE";

// Daemons that write their own pidfile: one that forks once more afterwards (the file names
// the parent that exited), and one that drops to its own user first and writes the file in
// its own directory.
const char* kStartForksAfterPidfile =
    "$DAEMON -c 'echo $$ > /run/NAME.pid; /run/NAMEd -c \"while :; do sleep 1; done\" </dev/null >/dev/null 2>&1 & "
    "exit 0'";
const char* kStartAsItsUser =
    "install -d -o daemon /run/NAME; start-stop-daemon --start --background --chuid daemon --exec $DAEMON -- -c "
    "'echo $$ > /run/NAME/NAME.pid; while :; do sleep 1; done'";
const char* kOwnDirPidfile = "/run/NAME/NAME.pid";

// A daemon the script names plainly, or one it computes (the program cannot tell which).
const char* kNamedDaemon = "DAEMON=/run/NAMEd";
const char* kComputedDaemon = "DAEMON=$(echo /run/NAMEd)";

// The script's status: Debian's (which, under systemd, asks systemd), or the naive one many
// scripts have: the pidfile's pid is alive.
std::string script(const Row& row, bool naive) {
    const std::string status =
        naive ? "[ -f $PIDFILE ] && kill -0 $(cat $PIDFILE) 2>/dev/null && exit 0; exit 3"
              : "status_of_proc -p $PIDFILE $DAEMON NAME";
    const std::string start =
        row.start ? row.start
                  : "start-stop-daemon --start --background --make-pidfile --pidfile $PIDFILE --exec $DAEMON -- infinity";
    return std::string("#!/bin/sh\n") + (naive ? "" : ". /lib/lsb/init-functions\n") + row.daemon + "\nPIDFILE=" +
           row.pidfile + "\ncase \"$1\" in\nstart) " + start + " ;;\nstop) " + row.stop + " ;;\nstatus) " +
           status + " ;;\n*) exit 2 ;;\nesac\n";
}

std::string with_name(std::string text, const std::string& name) {
    for (size_t at = text.find("NAME"); at != std::string::npos; at = text.find("NAME", at + name.size()))
        text.replace(at, 4, name);
    return text;
}
}  // namespace

TEST(InitdEvidence, PidfileFaultsScriptAnswersAndActions) {
    std::string why;
    VX_REQUIRE(SystemdSandbox::available(&why), "no systemd sandbox: " << why);
    ProgramRoot root;
    SystemdSandbox sandbox(root);
    ASSERT_TRUE(sandbox.ready()) << sandbox.why_not();
    // Daemons get the pids a real host gives them (the process-table rules skip low ones).
    sandbox.exec({"sh", "-c", "i=0; while [ $i -lt 400 ]; do /bin/true; i=$((i+1)); done"});
    // A live process that is not the daemon, for pidfiles to name.
    sandbox.exec({"systemd-run", "--unit=vxother", "/bin/sleep", "infinity"});
    const std::string other = Vexlan::Text::trim(sandbox.systemctl_show("vxother.service", "MainPID")).data();

    const std::string other_pid = "echo " + other + " > /run/NAME.pid";
    const std::vector<Row> rows = {
        {"healthy: start", false, "", kStopForReal, kNamedDaemon, Via::Plain, {"start"}, 0, 1},
        {"healthy: stop", true, "", kStopForReal, kNamedDaemon, Via::Plain, {"stop"}, 0, 0},
        // The pidfile names the wrong process of the right daemon, or is the daemon user's own.
        {"forked after its pidfile: up", true, "", kStopByProgram, kNamedDaemon, Via::Plain, {"--status"}, 0, 1, kStartForksAfterPidfile},
        {"forked after its pidfile: start", false, "", kStopByProgram, kNamedDaemon, Via::Plain, {"start"}, 0, 1, kStartForksAfterPidfile},
        {"forked after its pidfile: stop", true, "", kStopByProgram, kNamedDaemon, Via::Plain, {"stop"}, 0, 0, kStartForksAfterPidfile},
        {"forked after its pidfile: a stop by the pidfile alone still ends it", true, "", kStopForReal, kNamedDaemon, Via::Plain, {"stop"}, 0, 0, kStartForksAfterPidfile},
        {"forked after its pidfile: a restart leaves one daemon", true, "", kStopForReal, kNamedDaemon, Via::Plain, {}, 0, 1, kStartForksAfterPidfile},
        {"its user's pidfile: up", true, "", kStopByProgram, kNamedDaemon, Via::Plain, {"--status"}, 0, 1, kStartAsItsUser, kOwnDirPidfile},
        {"its user's pidfile: start", false, "", kStopByProgram, kNamedDaemon, Via::Plain, {"start"}, 0, 1, kStartAsItsUser, kOwnDirPidfile},
        {"its user's pidfile: restart", true, "", kStopByProgram, kNamedDaemon, Via::Plain, {}, 0, 1, kStartAsItsUser, kOwnDirPidfile},
        {"its user's pidfile: stop", true, "", kStopByProgram, kNamedDaemon, Via::Plain, {"stop"}, 0, 0, kStartAsItsUser, kOwnDirPidfile},
        {"pidfile removed while running: up",
         true,
         "rm /run/NAME.pid",
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {"--status"},
         0,
         1},
        {"pidfile removed while running: a restart leaves one daemon",
         true,
         "rm /run/NAME.pid",
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {},
         0,
         1},
        {"a stop whose script stops nothing ends the daemon",
         true,
         "",
         kStopNothing,
         kNamedDaemon,
         Via::Plain,
         {"stop"},
         0,
         0},
        {"a restart whose script's stop stops nothing leaves one daemon",
         true,
         "",
         kStopNothing,
         kNamedDaemon,
         Via::Plain,
         {},
         0,
         1},
        {"junk pidfile while running: up",
         true,
         "echo 4294967295 > /run/NAME.pid",
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {"--status"},
         0,
         1},
        {"FIFO pidfile while running: up, and no hang",
         true,
         "rm /run/NAME.pid; mkfifo /run/NAME.pid",
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {"--status"},
         0,
         1},
        {"symlinked pidfile while stopped: down",
         false,
         "ln -s /run/vxother.ref /run/NAME.pid",
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {"--status"},
         1,
         0},
        {"pidfile naming another live process while stopped: down",
         false,
         other_pid.c_str(),
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {"--status"},
         1,
         0},
        {"pidfile naming another live process: a restart starts it",
         false,
         other_pid.c_str(),
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {},
         0,
         1},
        {"pidfile holding 0 while stopped: down",
         false,
         "echo 0 > /run/NAME.pid",
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {"--status"},
         1,
         0},
        {"pidfile holding 1 while stopped: down",
         false,
         "echo 1 > /run/NAME.pid",
         kStopForReal,
         kNamedDaemon,
         Via::Plain,
         {"--status"},
         1,
         0},
        {"pidfile naming the program itself: down",
         false,
         "",
         kStopForReal,
         kNamedDaemon,
         Via::ExecSelf,
         {"--status"},
         1,
         0},
        {"pidfile naming the program's parent: down",
         false,
         "",
         kStopForReal,
         kNamedDaemon,
         Via::Parent,
         {"--status"},
         1,
         0},
        // The caller is the daemon's program, confirmed by every identity rule: it runs. Its
        // stop leaves the pidfile in place, so that only the program could end the caller,
        // and the program never does: the stop fails, the caller lives to see it.
        {"pidfile naming a caller of the daemon's own program: up",
         false,
         "",
         "true",
         kNamedDaemon,
         Via::DaemonParent,
         {"--status"},
         0,
         0},
        {"pidfile naming a caller of the daemon's own program: a stop never signals it",
         false,
         "",
         "true",
         kNamedDaemon,
         Via::DaemonParent,
         {"stop"},
         255,
         0},
        // A script that does not name its daemon plainly: its status is asked, but never
        // over a pidfile the program refused (its status calls PID 1 running).
        {"computed daemon, pidfile holding 1 while stopped: down",
         false,
         "echo 1 > /run/NAME.pid",
         kStopForReal,
         kComputedDaemon,
         Via::Plain,
         {"--status"},
         1,
         0},
        {"computed daemon, running: the script's status says up",
         true,
         "",
         kStopForReal,
         kComputedDaemon,
         Via::Plain,
         {"--status"},
         0,
         1},
    };
    sandbox.exec({"sh", "-c", "echo " + other + " > /run/vxother.ref"});
    int n = 0;
    for (const auto& row : rows) {
        const std::string name = "vxi" + std::to_string(++n);
        SCOPED_TRACE(row.what);
        // A daemon that writes its own pidfile is a copy of sh running a loop.
        const bool shell_daemon = row.via == Via::DaemonParent || row.start;
        sandbox.exec({"cp", shell_daemon ? "/bin/sh" : "/bin/sleep", "/run/" + name + "d"});
        write_file(sandbox.path("/etc/init.d/" + name), with_name(script(row, row.daemon == std::string(kComputedDaemon)), name), 0755);
        if (row.start_first) {
            ASSERT_EQ(sandbox.exec({"/etc/init.d/" + name, "start"}).status, 0);
        }
        if (*row.setup) sandbox.exec({"sh", "-c", with_name(row.setup, name)});
        std::string program = root.command("restartsrv_" + name, {})[7];
        for (const auto& a : row.args) program += " " + a;
        program += " --initd";
        const std::string pidfile = "/run/" + name + ".pid";
        const std::string as_parent = "echo $$ > " + pidfile + "; " + program + "; exit $?";
        const std::string call = row.via == Via::ExecSelf       ? "echo $$ > " + pidfile + "; exec " + program
                                 : row.via == Via::Parent       ? as_parent
                                 : row.via == Via::DaemonParent ? "exec /run/" + name + "d -c '" + as_parent + "'"
                                                                : "exec " + program;
        auto r = sandbox.exec({"sh", "-c", call});
        // A caller ended by a signal shows as 128 + the signal.
        EXPECT_EQ(r.status, row.exit) << r.out << r.err;
        if (row.args == std::vector<std::string>{"--status"} && row.exit == 1) {
            EXPECT_NE(r.err.find("is down"), std::string::npos) << "down, not another error: " << r.err;
        }
        auto count = sandbox.exec({"sh", "-c", "pgrep -cx " + name + "d || true"});
        EXPECT_EQ(std::stoi(count.out), row.daemons_after) << r.out << r.err;
        EXPECT_EQ(sandbox.systemctl_show("vxother.service", "ActiveState"), "active")
            << "the other process lives on";
        sandbox.exec({"pkill", "-x", name + "d"});
    }
}

TEST(InitdEvidence, InAFreshPidNamespaceADaemonWithASmallPidIsStillTheService) {
    // As in a container: the script, its daemon and the program share a new pid namespace, so
    // the daemon's pid is a small one (nothing burns pids here), and its pidfile is gone. The
    // script is one without Debian's systemd hook, as a container without systemd has.
    std::string why;
    VX_REQUIRE(SystemdSandbox::available(&why), "no systemd sandbox: " << why);
    ProgramRoot root;
    SystemdSandbox sandbox(root);
    ASSERT_TRUE(sandbox.ready()) << sandbox.why_not();
    struct ContainerRow {
        const char* what;
        std::vector<std::string> args;
        int exit;
        int daemons_after;
    };
    const ContainerRow rows[] = {
        {"pidfile removed while running: up", {"--status"}, 0, 1},
        {"pidfile removed while running: a restart leaves one daemon", {}, 0, 1},
    };
 const Row kPlainScript{"", false, "", kStopForReal, kNamedDaemon, Via::Plain, {}, 0, 0};
    int n = 0;
    for (const auto& row : rows) {
        const std::string name = "vxc" + std::to_string(++n);
        SCOPED_TRACE(row.what);
        sandbox.exec({"cp", "/bin/sleep", "/run/" + name + "d"});
        write_file(sandbox.path("/etc/init.d/" + name), with_name(script(kPlainScript, true), name), 0755);
        std::string program = root.command("restartsrv_" + name, {})[7];
        for (const auto& a : row.args) program += " " + a;
        program += " --initd";
        // The namespace's first process outlives the call, so that its daemon does too; the
        // work runs in a child of it (the program's parent is not pid 1).
        const std::string inner = with_name(
            "(/etc/init.d/NAME start; until [ -s /run/NAME.pid ] && "
            "[ \"$(readlink /proc/$(cat /run/NAME.pid)/exe)\" = /run/NAMEd ]; do sleep 0.05; done; "
            "cat /run/NAME.pid > /run/NAME.nspid; rm /run/NAME.pid; " +
                program + "; echo $? > /run/NAME.rc); exec sleep infinity",
            name);
        sandbox.exec({"sh", "-c", "unshare --pid --fork --mount-proc --kill-child sh -c \"$0\" > /run/" + name +
                                      ".out 2>&1 & echo $! > /run/" + name + ".ns",
                      inner});
        const std::string rc_file = sandbox.path("/run/" + name + ".rc");
        wait_until([&] { return read_file(rc_file).find('\n') != std::string::npos; }, 90);
        EXPECT_EQ(read_file(rc_file), std::to_string(row.exit) + "\n") << read_file(sandbox.path("/run/" + name + ".out"));
        EXPECT_LT(std::stoi("0" + std::string(Vexlan::Text::trim(read_file(sandbox.path("/run/" + name + ".nspid"))))), 300)
            << "the daemon's pid inside the namespace is a container's";
        auto count = sandbox.exec({"sh", "-c", "pgrep -cx " + name + "d || true"});
        EXPECT_EQ(std::stoi(count.out), row.daemons_after) << read_file(sandbox.path("/run/" + name + ".out"));
        sandbox.exec({"sh", "-c", "kill $(cat /run/" + name + ".ns)"});
    }
}
