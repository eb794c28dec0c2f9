// Verdicts against the real systemd: unit shapes x faults x actions, each row judged by its
// exit status and by what systemd shows afterwards, never by the program's own words alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/ProcessHelpers.hpp"
#include "support/SystemdSandbox.hpp"
#include "support/TestSupport.hpp"
#include "Util/Text.hpp"

using namespace testing_support;

namespace {
enum class Before {
    Stopped,
    Running,
    RunningThenMasked,
    GeneratedDaemonKilled,
    RunningFromRun,        // its unit file in /run/systemd/system
    StoppedRuntimeMasked,  // `systemctl mask --runtime`, with an init script whose status says 0
    RunningInstance,       // an instance of a template, its name with systemd's escapes
    Starting,              // its start job still runs (a slow ExecStartPre)
    Stopping,              // its stop job still runs (a slow ExecStop)
    WaitingToRestart,      // its daemon died; systemd waits to restart it (auto-restart)
    RunningDisabled,       // running, then disabled in the panel
    StoppedDisabled,
};
enum class Pid { Any, Same, New };

struct Row {
    const char* what;
    std::string unit;  // [Service] section; empty: a script in /etc/init.d (a generated unit)
    Before before;
    std::vector<std::string> args;
    int exit;
    const char* active_after;  // systemd's ActiveState afterwards ("" = not checked)
    Pid pid;
    const char* state;  // what the --json result record says the service is afterwards ("" = not checked:
                        // a crash loop is up or down depending on the instant)
    int acted = -1;     // the record's "acted" (-1 = not checked)
};

const char* kSimple = "ExecStart=/bin/sleep infinity\n";
const char* kReloads = "ExecStart=/bin/sleep infinity\nExecReload=/bin/true\n";
// A daemon that announces readiness from its own main process.
const char* kNotify =
    "Type=notify\nExecStart=/usr/bin/python3 -c \"import os,socket,time\\n"
    "a=os.environ['NOTIFY_SOCKET']\\na='\\\\0'+a[1:] if a[0]=='@' else a\\n"
    "s=socket.socket(socket.AF_UNIX,socket.SOCK_DGRAM); s.sendto(b'READY=1',a); time.sleep(100000)\"\n";
const char* kSlowStart = "ExecStartPre=/bin/sleep 60\nExecStart=/bin/sleep infinity\n";
const char* kSlowStop = "ExecStart=/bin/sleep infinity\nExecStop=/bin/sleep 60\n";
const char* kWaitsToRestart = "ExecStart=/bin/false\nRestart=always\nRestartSec=60\n";
const char* kBadStop = "ExecStart=/bin/sleep infinity\nExecStop=/bin/false\n";
const char* kKillNone = "ExecStart=/bin/sleep infinity\nKillMode=none\n";
// Takes its reload signal as its cue to exit, a moment later.
const char* kDiesOfHup =
    "ExecStart=/bin/sh -c 'trap \"sleep 0.3; exit 1\" HUP; while :; do sleep 0.1; done'\n"
    "ExecReload=/bin/kill -HUP $MAINPID\n";
// systemd restarts it at once whenever it ends, and never gives up.
const char* kRestartAlways = "Restart=always\nRestartSec=0.1\n[Unit]\nStartLimitIntervalSec=0\n";
// Ready, then dead 0.4 s later.
const char* kNotifyThenExit =
    "Type=notify\nExecStart=/usr/bin/python3 -c \"import os,socket,time\\n"
    "a=os.environ['NOTIFY_SOCKET']\\na='\\\\0'+a[1:] if a[0]=='@' else a\\n"
    "s=socket.socket(socket.AF_UNIX,socket.SOCK_DGRAM); s.sendto(b'READY=1',a); time.sleep(0.4)\"\n";
// Debian's hook in init-functions hands "start" over to systemctl when systemd runs.
const char* kGeneratedScript =
    "### BEGIN INIT INFO\n# Provides: NAME\n# Default-Start: 2 3 4 5\n### END INIT INFO\n"
    ". /lib/lsb/init-functions\n"
    "DAEMON=/run/NAMEd\nPIDFILE=/run/NAME.pid\n"
    "case \"$1\" in\n"
    "start) start-stop-daemon --start --background --make-pidfile --pidfile $PIDFILE --exec $DAEMON -- "
    "infinity ;;\n"
    "stop) start-stop-daemon --stop --oknodo --pidfile $PIDFILE --retry 5; rm -f $PIDFILE ;;\n"
    "status) start-stop-daemon --status --pidfile $PIDFILE; exit $? ;;\n"
    "*) exit 2 ;;\nesac\n";

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class VerdictMatrix : public SandboxTest {
  protected:
    std::string show(const std::string& unit, const char* property) {
        return sandbox_->systemctl_show(unit + ".service", property);
    }
    // The processes in a control group (systemd keeps the group while anything runs in it,
    // whatever the unit's state).
    size_t processes_in(const std::string& group) {
        if (group.empty()) return 0;
        // The unified hierarchy wherever it is mounted (alone, or beside the v1 ones).
        auto r = sandbox_->exec({"sh", "-c",
                                 "for b in /sys/fs/cgroup/unified /sys/fs/cgroup; do f=\"$b$0/cgroup.procs\"; "
                                 "[ -e \"$f\" ] && exec cat \"$f\"; done; true",
                                 group});
        return static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
    }
    // Puts the unit into the row's starting state; `target` is the service acted on.
    void prepare(const std::string& name, const std::string& target, const Row& row) {
        if (row.before == Before::RunningInstance) {
            sandbox_->install_unit(name + "@.service", std::string("[Service]\n") + row.unit);
        } else if (row.before == Before::RunningFromRun) {
            sandbox_->exec({"mkdir", "-p", "/run/systemd/system"});
            write_file(sandbox_->path("/run/systemd/system/" + name + ".service"), std::string("[Service]\n") + row.unit);
            sandbox_->exec({"systemctl", "daemon-reload"});
        } else if (!row.unit.empty()) {
            sandbox_->install_unit(name + ".service", std::string("[Service]\n") + row.unit);
        } else {
            sandbox_->exec({"cp", "/bin/sleep", "/run/" + name + "d"});
            write_file(sandbox_->path("/etc/init.d/" + name),
                       "#!/bin/sh\n" + replace_all(kGeneratedScript, "NAME", name), 0755);
            sandbox_->exec({"systemctl", "daemon-reload"});
        }
        if (row.before == Before::StoppedRuntimeMasked) {
            // A vendor unit (a runtime mask outranks /lib, not /etc): the sandbox's own copy of
            // the vendor directory, with the unit in it.
            std::filesystem::remove(sandbox_->path("/etc/systemd/system/" + name + ".service"));
            ASSERT_EQ(sandbox_->exec({"sh", "-c",
                                      "mountpoint -q /lib/systemd/system || { mkdir -p /run/vendor-units && "
                                      "cp -a /lib/systemd/system/. /run/vendor-units/ && "
                                      "mount --bind /run/vendor-units /lib/systemd/system; } && "
                                      "printf '[Service]\\n%s' \"$1\" > /run/vendor-units/$0.service && "
                                      "systemctl daemon-reload",
                                      name, row.unit})
                          .status,
                      0)
                << row.what;
            write_file(sandbox_->path("/etc/init.d/" + name), "#!/bin/sh\nexit 0\n", 0755);
            ASSERT_EQ(sandbox_->exec({"systemctl", "mask", "--runtime", name}).status, 0) << row.what;
        }
        if (row.before == Before::RunningDisabled || row.before == Before::StoppedDisabled) {
            std::filesystem::create_directories(root_.state("/services/disabled"));
            write_file(root_.state("/services/disabled/" + name), "");
        }
        if (row.before == Before::Stopped || row.before == Before::StoppedRuntimeMasked ||
            row.before == Before::StoppedDisabled)
            return;
        if (row.before == Before::Starting) {
            sandbox_->exec({"systemctl", "start", "--no-block", target});
            wait_until([&] { return show(target, "ActiveState") == "activating"; });
            return;
        }
        if (row.before == Before::WaitingToRestart) {
            // Its daemon dies at once: whatever the start job says, systemd then waits.
            sandbox_->exec({"systemctl", "start", target});
            wait_until([&] { return show(target, "SubState") == "auto-restart"; });
            return;
        }
        ASSERT_EQ(sandbox_->exec({"systemctl", "start", target}).status, 0) << row.what;
        if (row.before == Before::Stopping) {
            sandbox_->exec({"systemctl", "stop", "--no-block", target});
            wait_until([&] { return show(target, "ActiveState") == "deactivating"; });
        }

        if (row.before == Before::RunningThenMasked) {
            std::filesystem::remove(sandbox_->path("/etc/systemd/system/" + name + ".service"));
            std::filesystem::create_symlink("/dev/null",
                                            sandbox_->path("/etc/systemd/system/" + name + ".service"));
            sandbox_->exec({"systemctl", "daemon-reload"});
        }
        if (row.before == Before::GeneratedDaemonKilled) {
            sandbox_->exec({"sh", "-c",
                            "kill $(cat /run/" + name + ".pid); while [ -e /proc/$(cat /run/" + name +
                                ".pid)/exe ]; do sleep 0.05; done"});
            ASSERT_EQ(show(name, "ActiveState"), "active") << "systemd does not notice: " << row.what;
        }
    }
};
}  // namespace

TEST_F(VerdictMatrix, UnitShapesFaultsAndActions) {
    const auto S = Before::Stopped, R = Before::Running, M = Before::RunningThenMasked,
               G = Before::GeneratedDaemonKilled, U = Before::RunningFromRun, RM = Before::StoppedRuntimeMasked,
               I = Before::RunningInstance, ST = Before::Starting, SP = Before::Stopping,
               WR = Before::WaitingToRestart, RD = Before::RunningDisabled, SD = Before::StoppedDisabled;
    const auto Any = Pid::Any, Same = Pid::Same, New = Pid::New;
    const std::vector<Row> rows = {
        // Healthy units of every long-running shape start, restart and answer.
        {"simple: start", kSimple, S, {"start"}, 0, "active", New, "up"},
        {"simple: restart of a running unit", kSimple, R, {}, 0, "active", New, "up"},
        {"simple: the word status", kSimple, R, {"status"}, 0, "active", Same, "up"},
        {"simple: the word check", kSimple, R, {"check"}, 0, "active", Same, "up"},
        {"simple: a misspelt word does nothing", kSimple, R, {"statsu"}, 1, "active", Same, "error"},
        {"simple: stop", kSimple, R, {"stop"}, 0, "inactive", Any, "down", true},
        // What changed nothing says so: "acted" is false, and one message tells why.
        {"simple: stop of a stopped unit", kSimple, S, {"stop"}, 0, "inactive", Any, "down", false},
        {"simple: the word status acts on nothing", kSimple, R, {"status"}, 0, "active", Same, "up", false},
        {"disabled: stop of a stopped unit", kSimple, SD, {"stop"}, 0, "inactive", Any, "down", false},
        {"disabled: a restart of the running unit stops it and is refused", kSimple, RD, {}, 1, "inactive", Any,
         "down", true},
        {"disabled: a start of the stopped unit is refused", kSimple, SD, {"start"}, 1, "inactive", Any, "disabled",
         false},
        {"a stop that systemd ends by its time-out, nothing left",
         // Started only once the daemon ignores TERM: a stop that came first would end it.
         "ExecStartPre=/bin/rm -f /run/%n.deaf\n"
         "ExecStart=/bin/sh -c 'trap \"\" TERM; touch /run/%n.deaf; while :; do sleep 0.2; done'\n"
         "ExecStartPost=/bin/sh -c 'until [ -e /run/%n.deaf ]; do sleep 0.05; done'\nTimeoutStopSec=1\n",
         R,
         {"stop"},
         0,
         "failed",
         Any, "down"},
        // A stop is judged by what is left, not by the unit's stop command.
        {"a stop whose ExecStop fails, nothing left", kBadStop, R, {"stop"}, 0, "failed", Any, "down"},
        {"a restart whose ExecStop fails", kBadStop, R, {}, 0, "active", New, "up"},
        {"KillMode=none: the stop ends the daemon systemd leaves", kKillNone, R, {"stop"}, 0, "inactive", Any, "down"},
        {"KillMode=none: a restart leaves one daemon", kKillNone, R, {}, 0, "active", New, "up"},
        {"simple: reload without a reload command does nothing", kSimple, R, {"--reload"}, 0, "active", Same, "up"},
        {"exec: start", "Type=exec\nExecStart=/bin/sleep infinity\n", S, {"start"}, 0, "active", New, "up"},
        {"forking: start",
         "Type=forking\nExecStart=/bin/sh -c 'sleep infinity & exit 0'\n",
         S,
         {"start"},
         0,
         "active",
         Any, "up"},
        {"notify: start", kNotify, S, {"start"}, 0, "active", New, "up"},
        {"idle: start", "Type=idle\nExecStart=/bin/sleep infinity\n", S, {"start"}, 0, "active", New, "up"},
        {"oneshot: ran to completion",
         "Type=oneshot\nExecStart=/bin/true\n",
         S,
         {"start"},
         0,
         "inactive",
         Any, "down"},
        {"oneshot: remains after its exit",
         "Type=oneshot\nRemainAfterExit=yes\nExecStart=/bin/true\n",
         S,
         {"start"},
         0,
         "active",
         Any, "up"},
        {"oneshot: fails", "Type=oneshot\nExecStart=/bin/false\n", S, {"start"}, 255, "failed", Any, "down"},
        // Daemons that die soon after their start are never called started.
        {"simple: exits at once", "ExecStart=/bin/false\n", S, {"start"}, 255, "failed", Any, "down"},
        {"simple: exits after 0.5 s",
         "ExecStart=/bin/sh -c 'sleep 0.5; exit 1'\n",
         S,
         {"start"},
         255,
         "failed",
         Any, "down"},
        {"simple: restart into a daemon that exits after 0.5 s",
         "ExecStart=/bin/sh -c 'test -e /run/vxbroken && { sleep 0.5; exit 1; }; exec sleep infinity'\n",
         R,
         {},
         255,
         "failed",
         Any, "down"},
        {"forking: dies after 0.3 s",
         "Type=forking\nExecStart=/bin/sh -c '(sleep 0.3; exit 1) & exit 0'\n",
         S,
         {"start"},
         255,
         "failed",
         Any, "down"},
        {"idle: exits after 0.5 s",
         "Type=idle\nExecStart=/bin/sh -c 'sleep 0.5; exit 1'\n",
         S,
         {"start"},
         255,
         "failed",
         Any, "down"},
        // Reload: the job's result, and still running afterwards.
        {"reload: works", kReloads, R, {"reload"}, 0, "active", Same, "up"},
        {"reload: fails",
         "ExecStart=/bin/sleep infinity\nExecReload=/bin/false\n",
         R,
         {"--reload"},
         255,
         "active",
         Same, "up"},
        {"reload: the daemon dies of it",
         "ExecStart=/bin/sleep infinity\nExecReload=/bin/kill $MAINPID\n",
         R,
         {"reload"},
         255,
         "",
         Any, "down"},
        {"reload: a stopped unit is not reloaded", kReloads, S, {"reload"}, 255, "inactive", Any, "down"},
        // Watched through the window: the daemon dies a moment after it took the signal.
        {"reload: the daemon exits 0.3 s after its signal", kDiesOfHup, R, {"reload"}, 255, "failed", Any, "down"},
        {"reload: the daemon exits 0.3 s after its signal and systemd restarts it",
         std::string(kDiesOfHup) + kRestartAlways, R, {"reload"}, 255, "", Any, ""},
        // Crash loops under Restart=always: each daemon lives less than the window.
        {"crash loop: simple", "ExecStart=/bin/sh -c 'sleep 0.4; exit 1'\n" + std::string(kRestartAlways), S,
         {"start"}, 255, "", Any, ""},
        {"crash loop: forking with a main pid",
         "Type=forking\nExecStart=/bin/sh -c 'sleep 0.4 & exit 0'\n" + std::string(kRestartAlways), S, {"start"},
         255, "", Any, ""},
        {"crash loop: forking without a main pid",
         "Type=forking\nExecStart=/bin/sh -c 'sleep 0.4 & sleep 0.4 & exit 0'\n" + std::string(kRestartAlways), S,
         {"start"}, 255, "", Any, ""},
        {"crash loop: notify", std::string(kNotifyThenExit) + kRestartAlways, S, {"start"}, 255, "", Any, ""},
        {"crash loop: a restart into one",
         "ExecStart=/bin/sh -c 'test -e /run/vxbroken && { sleep 0.4; exit 1; }; exec sleep infinity'\n" +
             std::string(kRestartAlways),
         R, {}, 255, "", Any, ""},
        // Units systemd has wherever their files lie, and names in systemd's own escapes.
        {"runtime unit: status", kSimple, U, {"--status"}, 0, "active", Same, "up"},
        {"runtime unit: restart", kSimple, U, {}, 0, "active", New, "up"},
        {"runtime mask: check of the stopped unit", kSimple, RM, {"--check"}, 1, "inactive", Any, "down"},
        {"runtime mask: start is refused", kSimple, RM, {"start"}, 255, "inactive", Any, "down"},
        {"escaped instance: status", kSimple, I, {"--status"}, 0, "active", Same, "up"},
        {"escaped instance: restart", kSimple, I, {}, 0, "active", New, "up"},
        // Between up and down: named, never "down", and never up.
        {"status while its start job runs", kSlowStart, ST, {"--status"}, 1, "activating", Any, "starting"},
        {"check while its start job runs", kSlowStart, ST, {"--check"}, 1, "activating", Any, "starting"},
        {"status while its stop job runs", kSlowStop, SP, {"--status"}, 1, "deactivating", Any, "stopping"},
        {"status while systemd waits to restart it", kWaitsToRestart, WR, {"--status"}, 1, "activating", Any,
         "starting"},
        {"a start joins the start under way",
         "ExecStartPre=/bin/sleep 2\nExecStart=/bin/sleep infinity\n", ST, {"start"}, 0, "active", New, "up"},
        // Masked while running: up, and never ended for a start systemd would refuse.
        {"masked: status", kSimple, M, {"--status"}, 0, "active", Same, "up"},
        {"masked: restart", kSimple, M, {}, 255, "active", Same, "up"},
        // A unit generated from an init script: judged by its daemon, driven through systemd.
        {"generated: check with its daemon dead", "", G, {"--check"}, 1, "active", Any, "down"},
        {"generated: restart with its daemon dead", "", G, {}, 0, "active", Any, "up"},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string unit_name = "vxm" + std::to_string(++n);
        const std::string name = row.before == I ? unit_name + "@a\\x2db" : unit_name;
        SCOPED_TRACE(row.what);
        prepare(unit_name, name, row);
        if (row.unit.find("/run/vxbroken") != std::string::npos) sandbox_->exec({"touch", "/run/vxbroken"});
        const std::string pid_before = show(name, "MainPID");
        const std::string group_before = show(name, "ControlGroup");
        const std::string invocation_before = show(name, "InvocationID");
        auto args = row.args;
        args.push_back("--json");
        // An instance's name is given to the program as its argument (command names are words).
        if (row.before == I) args.insert(args.begin(), name);
        auto r = sandbox_->program(row.before == I ? "restartsrv_base" : "restartsrv_" + name, args);
        sandbox_->exec({"rm", "-f", "/run/vxbroken"});
        EXPECT_EQ(r.status, row.exit) << r.out << r.err;
        EXPECT_EQ(r.err, "") << "in JSON mode only the record speaks";
        // The record is a claim about the service: hold it against what systemd shows.
        const auto record = checked_result_record(r.out);
        if (record.is_object()) {
            EXPECT_EQ(record["exit"], row.exit);
            EXPECT_EQ(record["service"], name);
            if (*row.state) {
                EXPECT_EQ(record["state"], row.state) << r.out;
            }
            // (A crash loop's main process may be gone by the time it is looked up.)
            if (*row.state && record["main_pid"].is_number()) {
                // systemd's main process, or (a unit with none, as a generated one) one of its own.
                const std::string pid = std::to_string(record["main_pid"].get<long>());
                const std::string main_pid = show(name, "MainPID");
                if (main_pid != "0") {
                    EXPECT_EQ(pid, main_pid) << r.out;
                } else {
                    EXPECT_NE(sandbox_->exec({"cat", "/proc/" + pid + "/cgroup"}).out.find(name + ".service"),
                              std::string::npos)
                        << r.out;
                }
            }
            // A failure says why, beyond "failed": what systemd or the daemon said.
            if (row.exit == 255) {
                EXPECT_TRUE(record["reason"].is_string()) << r.out;
            }
            if (row.exit == 255 && row.unit == "ExecStart=/bin/false\n") {
                EXPECT_NE(record["reason"].dump().find("exited, status=1"), std::string::npos) << r.out;
            }
            if (row.acted != -1) {
                EXPECT_EQ(record["acted"], row.acted == 1) << r.out;
            }
            // The identifier leads to one time-stamped entry of the error log, at the error
            // level; a start that failed is logged as a start.
            if (record["error_id"].is_string()) {
                const std::string id = record["error_id"];
                size_t entries = 0;
                for (const auto& line : Vexlan::Text::lines(read_file(root_.product("/logs/error_log")))) {
                    if (line.find(id) == std::string::npos) continue;
                    ++entries;
                    EXPECT_TRUE(line.starts_with("[20") && line.find("] error [") != std::string::npos) << line;
                    if (!row.args.empty() && (row.args[0] == "start" || row.args[0] == "--start")) {
                        EXPECT_EQ(line.find("failed to restart"), std::string::npos) << line;
                    }
                }
                EXPECT_EQ(entries, 1u) << id << ": " << read_file(root_.product("/logs/error_log"));
            }
            if (row.before == RD || row.before == SD) {
                if (row.exit != 0) {
                    EXPECT_EQ(record["error_kind"], "disabled") << r.out;
                }
                // The refusal of a service it stopped says it stopped it.
                EXPECT_EQ(record["message"].get<std::string>().find("was stopped: ") != std::string::npos,
                          row.before == RD)
                    << r.out;
                EXPECT_EQ(record["action"], row.before == RD ? "stop" : row.args.empty() ? "restart" : row.args[0])
                    << r.out;
            }
            if (row.exit == 1 && row.args.size() == 1 && row.args[0].ends_with("check")) {
                EXPECT_EQ(record["error_kind"], "down") << "down, not another error: " << r.out;
            }
        }
        if (*row.active_after) {
            EXPECT_EQ(show(name, "ActiveState"), row.active_after) << r.out << r.err;
        }
        if (row.before == ST && row.exit == 0) {
            EXPECT_EQ(show(name, "InvocationID"), invocation_before) << "the start under way, not a new one";
        }
        // "down" leaves nothing of the unit running; a fresh "up" runs one daemon, not two.
        std::string group = show(name, "ControlGroup");
        if (group.empty()) group = group_before;
        if (std::string(row.state) == "down") {
            EXPECT_EQ(processes_in(group), 0u) << group << ": " << r.out;
        } else if (std::string(row.state) == "up" && row.pid == Pid::New) {
            EXPECT_EQ(processes_in(group), 1u) << group << ": " << r.out;
        }
        const std::string pid_after = show(name, "MainPID");
        if (row.pid == Pid::Same) {
            EXPECT_EQ(pid_after, pid_before) << r.out;
        } else if (row.pid == Pid::New) {
            EXPECT_TRUE(pid_after != pid_before && pid_after != "0") << pid_before << " " << pid_after;
        }
        if (row.unit.empty() && row.exit == 0 && row.args.empty()) {
            EXPECT_EQ(sandbox_->exec({"pgrep", "-x", name + "d"}).status, 0)
                << "its daemon runs again: " << r.out;
        }
        // A crash loop would go on restarting beside the later rows.
        if (!*row.state) sandbox_->exec({"systemctl", "stop", name});
    }
}

TEST_F(VerdictMatrix, AReaderThatLeavesEarlyDoesNotCutTheRestartShort) {
    sandbox_->install_unit("vxpipe.service", std::string("[Service]\n") + kSimple);
    sandbox_->exec({"systemctl", "start", "vxpipe"});
    const std::string before = show("vxpipe", "MainPID");
    const std::string program = root_.command("restartsrv_vxpipe", {})[7];
    auto r = sandbox_->exec({"sh", "-c", program + " | head -c 5"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(show("vxpipe", "ActiveState"), "active");
    const std::string after = show("vxpipe", "MainPID");
    EXPECT_TRUE(after != before && after != "0") << before << " " << after;
}

TEST_F(VerdictMatrix, TextFromTheServiceReachesTheTerminalEscaped) {
    // Its user chooses the daemon's command line and what it logs.
    write_file(sandbox_->path("/run/vxesc.sh"),
               "#!/bin/bash\nprintf '\\033[2Jlogged-by-vxesc run-%s\\n' \"$INVOCATION_ID\"\n"
               "(exec -a \"$(printf 'vxesc\\033]0;PWNED\\007\\033[2J')\" sleep infinity) >/dev/null 2>&1 &\n",
               0755);
    // Forking: its status line shows the daemon's command line.
    sandbox_->install_unit("vxesc.service", "[Service]\nType=forking\nExecStart=/run/vxesc.sh\n");
    auto start = sandbox_->program("restartsrv_vxesc", {});
    EXPECT_EQ(start.status, 0) << start.out << start.err;
    auto status = sandbox_->program("restartsrv_vxesc", {"--status"});
    EXPECT_EQ(status.status, 0) << status.err;
    for (const auto* r : {&start, &status}) {
        EXPECT_EQ(r->out.find('\033'), std::string::npos) << "no raw escape reaches the screen: " << r->out;
        EXPECT_EQ(r->out.find('\007'), std::string::npos) << r->out;
    }
    EXPECT_NE(status.out.find("vxesc\\x1b]0;PWNED\\x07\\x1b[2J"), std::string::npos) << status.out;
    EXPECT_NE(start.out.find("\\x1b[2Jlogged-by-vxesc"), std::string::npos)
        << "the journal line, escaped: " << start.out;
    // A second start shows its own run's lines, not the first run's.
    const std::string first_run = show("vxesc", "InvocationID");
    auto again = sandbox_->program("restartsrv_vxesc", {});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    const std::string second_run = show("vxesc", "InvocationID");
    ASSERT_NE(first_run, second_run);
    EXPECT_NE(again.out.find("run-" + second_run), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("run-" + first_run), std::string::npos) << "an earlier run's line: " << again.out;
}

TEST_F(VerdictMatrix, TheTerminalReadsCalmly) {
    // Ready never comes: systemd fails the start, which the log notes while the progress
    // line is open.
    sandbox_->install_unit("vxslow.service", "[Service]\nType=notify\nExecStart=/bin/sh -c 'sleep 1; exit 1'\n");
    const std::string program = root_.command("restartsrv_vxslow", {})[7];
    auto r = sandbox_->exec({"script", "-qec", program, "/dev/null"});
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_EQ(r.out.find("Vexlan::"), std::string::npos) << "words, not C++ names: " << r.out;
    EXPECT_NE(r.out.find("\r\nStart failed\r\n"), std::string::npos) << r.out;
    // Every colour is reset before the line ends (no bleed into the next one).
    for (size_t at = r.out.find("\033["); at != std::string::npos; at = r.out.find("\033[", at + 1)) {
        if (r.out.compare(at, 4, "\033[0m") == 0) continue;
        const size_t reset = r.out.find("\033[0m", at);
        EXPECT_TRUE(reset != std::string::npos && reset < r.out.find('\n', at))
            << "colour left open at " << at << ": " << r.out.substr(at, 120);
    }
    // The log's line starts a line of its own, not inside "Starting …".
    const size_t warning = r.out.find("The system failed to ");
    ASSERT_NE(warning, std::string::npos) << r.out;
    const size_t line_start = r.out.rfind('\n', warning);
    const std::string before = r.out.substr(line_start + 1, warning - line_start - 1);
    EXPECT_EQ(before.find("Starting"), std::string::npos) << "inside the progress line: " << before;
}
