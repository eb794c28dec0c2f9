#include "RestartSrv/ScriptStatusVerdict.hpp"

namespace Vexlan::Services {

namespace {
ScriptJudgement verdict(ScriptJudgement::Verdict v) { return {v, {}, {}, ""}; }
ScriptJudgement ask(Witness w) { return {ScriptJudgement::Verdict::Ask, w, {}, ""}; }
ScriptJudgement up(std::vector<pid_t> pids, const char* method) {
    return {ScriptJudgement::Verdict::Up, {}, std::move(pids), method};
}
}  // namespace

ScriptJudgement judge_script_status(const ScriptEvidence& e) {
    using V = ScriptJudgement::Verdict;
    using P = ScriptEvidence::Pidfile;
    if (e.pidfile == P::Confirmed && e.pidfile_pid) return up({*e.pidfile_pid}, "init script pidfile");
    const bool refused = e.pidfile == P::Refused;
    if (e.script_names_daemon) {
        if (!e.daemon) return ask(Witness::Program);
        if (!e.daemon->empty()) return up(*e.daemon, "program");
        if (refused) return verdict(V::Down);
    }
    if (!e.script_status && !e.script_timed_out) return ask(Witness::Script);
    if (e.script_status == 0 && !refused) return up({}, "status");
    if (e.script_status == 0 || e.script_status == 3) return verdict(V::Down);
    if (e.script_timed_out) return verdict(V::CannotTell);
    return verdict(e.script_names_daemon ? V::Down : V::Undecided);
}

}  // namespace Vexlan::Services
