// The init-script status judgement as a decision table: identity-confirmed processes beat
// the script's answer both ways, a refused pidfile is never read again through the script,
// a probe that timed out cannot tell.
#include <gtest/gtest.h>

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
