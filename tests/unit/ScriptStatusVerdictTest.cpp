// The init-script status judgement as a decision table: identity-confirmed processes beat
// the script's answer both ways, a refused pidfile is never read again through the script,
// a probe that timed out cannot tell.
#include <gtest/gtest.h>

#include "RestartSrv/InitScript.hpp"
#include "RestartSrv/ScriptStatusVerdict.hpp"

namespace script_status_table {
using namespace Vexlan::Services;
using P = ScriptEvidence::Pidfile;
using V = ScriptJudgement::Verdict;

struct Row {
    const char* what;
    ScriptEvidence e;
    V verdict;
    Witness ask = Witness::Program;
    const char* method = "";
};
ScriptEvidence ev(P pidfile, bool names_daemon, std::optional<std::vector<pid_t>> daemon,
                  std::optional<int> status, bool timed_out = false) {
    ScriptEvidence e;
    e.pidfile = pidfile;
    if (pidfile != P::None) e.pidfile_pid = 4321;
    e.script_names_daemon = names_daemon;
    e.daemon = std::move(daemon);
    e.script_status = status;
    e.script_timed_out = timed_out;
    return e;
}
}  // namespace script_status_table

TEST(ScriptStatusVerdict, DecisionTable) {
    using namespace script_status_table;
    const std::vector<pid_t> none, running{777};
    const std::vector<Row> rows = {
        {"confirmed pidfile, whatever the script says", ev(P::Confirmed, true, none, 3), V::Up, {}, "init script pidfile"},
        {"daemon not yet looked for", ev(P::None, true, std::nullopt, std::nullopt), V::Ask, Witness::Program},
        {"pidfile removed, daemon running: up, the script's 3 is not asked",
         ev(P::None, true, running, std::nullopt), V::Up, {}, "program"},
        {"refused pidfile, daemon not running: down, the script not asked", ev(P::Refused, true, none, std::nullopt), V::Down},
        {"refused pidfile, daemon running as its user: up", ev(P::Refused, true, running, 0), V::Up, {}, "program"},
        {"no daemon named: the script is asked", ev(P::None, false, std::nullopt, std::nullopt), V::Ask, Witness::Script},
        {"script says running", ev(P::Unconfirmed, false, std::nullopt, 0), V::Up, {}, "status"},
        {"script says running from a refused pidfile", ev(P::Refused, false, std::nullopt, 0), V::Down},
        {"script says stopped", ev(P::None, false, std::nullopt, 3), V::Down},
        {"script did not answer in time", ev(P::None, false, std::nullopt, std::nullopt, true), V::CannotTell},
        {"script answered 4, daemon named and not running", ev(P::None, true, none, 4), V::Down},
        {"script answered 4, nothing named", ev(P::None, false, std::nullopt, 4), V::Undecided},
    };
    for (const auto& row : rows) {
        const auto j = judge_script_status(row.e);
        EXPECT_EQ(j.verdict, row.verdict) << row.what;
        if (row.verdict == V::Ask) {
            EXPECT_EQ(j.ask, row.ask) << row.what;
        }
        if (row.verdict == V::Up) {
            EXPECT_STREQ(j.method, row.method) << row.what;
        }
    }
}

// What a script says of its daemon, read as an administrator reads it: plain values only,
// and start-stop-daemon's user where its own options name it.
TEST(InitScriptFacts, ReadFromPlainAssignmentsAndOptions) {
    using Vexlan::RestartSrv::parse_init_script;
    struct Row {
        const char* what;
        const char* text;
        std::optional<std::string> daemon, pidfile, user;
    };
    const std::vector<Row> rows = {
        {"Debian's shape", "NAME=cron\nDAEMON=/usr/sbin/$NAME\nPIDFILE=/run/$NAME.pid\n", "/usr/sbin/cron",
         "/run/cron.pid", std::nullopt},
        {"a computed daemon is not guessed", "DAEMON=$(which foo)\n", std::nullopt, std::nullopt, std::nullopt},
        {"the pidfile option", "start-stop-daemon --start --pidfile /run/x.pid --exec /bin/x\n", std::nullopt,
         "/run/x.pid", std::nullopt},
        {"--chuid with a variable and a group", "U=bind\nstart-stop-daemon --start --chuid $U:bind --exec /x\n",
         std::nullopt, std::nullopt, "bind"},
        {"-c of start-stop-daemon", "start-stop-daemon -S -c redis -x /usr/bin/redis-server\n", std::nullopt,
         std::nullopt, "redis"},
        {"-c after -- is the daemon's own", "start-stop-daemon -S -x /bin/sh -- -c 'exec sleep 1'\n",
         std::nullopt, std::nullopt, std::nullopt},
        {"-c of another command", "su -c 'x' root\nsh -c true\n", std::nullopt, std::nullopt, std::nullopt},
        {"no user name", "start-stop-daemon -S --chuid 'a b' -x /x\n", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto facts = parse_init_script(row.text);
        EXPECT_EQ(facts.daemon, row.daemon);
        EXPECT_EQ(facts.pidfile, row.pidfile);
        EXPECT_EQ(facts.user, row.user);
    }
}
