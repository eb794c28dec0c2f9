#include "ServiceManager/StartVerdict.hpp"

namespace Vexlan::ServiceManager {

StartState judge_start(const StartEvidence& e, double window) {
    if (e.restarted_by_systemd || e.active_state == "failed") return StartState::Failed;
    if (e.type == "oneshot") {
        if (e.active_state == "active") return StartState::Confirmed;
        if (e.active_state == "inactive")
            return e.result == "success" ? StartState::Confirmed : StartState::Failed;
        return StartState::Pending;
    }
    if (!e.status_up) {
        if (e.active_state == "inactive" || e.script_says_stopped) return StartState::Failed;
        // A unit kept active after its start command (one generated from an init script)
        // whose daemon runs nowhere: systemd will not notice, so nothing will change.
        if (e.active_state == "active" && e.since_started >= ACTIVE_WITHOUT_DAEMON_SECONDS)
            return StartState::Failed;
        return StartState::Pending;
    }
    // systemd has not called it started yet (a notify unit before its ready message).
    if (!e.active_state.empty() && e.active_state != "active" && e.active_state != "reloading")
        return StartState::Pending;
    const double age = e.main_age.value_or(e.since_started);
    return age >= window ? StartState::Confirmed : StartState::Pending;
}

const char* start_state_name(StartState state) {
    switch (state) {
        case StartState::Pending:
            return "pending";
        case StartState::Confirmed:
            return "confirmed";
        case StartState::Failed:
            return "failed";
    }
    return "";
}

}  // namespace Vexlan::ServiceManager
