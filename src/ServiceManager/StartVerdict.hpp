#pragma once
// Whether a start has come to its end, judged from one fresh look at the service. Pure:
// every input is in the evidence, so the rules can be read and tested as a table.
#include <optional>
#include <string>

namespace Vexlan::ServiceManager {

enum class StartState {
    Pending,    // not yet decided: look again
    Confirmed,  // up, and has stayed up for the confirmation window (or ran to completion)
    Failed,     // will not come up without another start
};

struct StartEvidence {
    // The status check (systemd, pidfile and identity checks, /proc) calls it up.
    bool status_up = false;
    // systemd's view of the unit; all empty for a service without one.
    std::string active_state;
    std::string type;
    std::string result;
    // Seconds the service's main process has lived, when it is known.
    std::optional<double> main_age;
    // Seconds since the init system said the start was done.
    double since_started = 0;
    // The init script's own status says the daemon is not running, and the time a daemon
    // may take after its script returned is over.
    bool script_says_stopped = false;
    // systemd restarted the unit on its own since the start's job ended (its restart count
    // grew, or the unit runs under another invocation): the daemon did not live through
    // the window, whatever is running now.
    bool restarted_by_systemd = false;
    // Why the start failed, in systemd's terms, when the backend knows more than "down".
    std::string why;
};

// The rules, first match wins:
//  0. systemd restarted the unit by itself since the start: Failed (a crash loop is never
//     started, however briefly each of its daemons looks up).
//  1. systemd calls the unit failed: Failed.
//  2. A oneshot unit: active (it remains after its exit) or inactive with the result
//     "success" (it ran to completion) is Confirmed; inactive otherwise is Failed.
//  3. Not up: Failed when systemd calls the unit inactive or the script says stopped, or
//     still calls it active ACTIVE_WITHOUT_DAEMON_SECONDS after the start with none of its
//     processes running; else Pending (a daemon may still be on its way).
//  4. Up, but systemd still calls the unit starting: Pending.
//  5. Up: Confirmed once the main process (without one, the unit's oldest process; for an
//     init script, the start) is `window` seconds old, else Pending: a daemon that dies on
//     a bad configuration often lives a moment.
inline constexpr double ACTIVE_WITHOUT_DAEMON_SECONDS = 5;
StartState judge_start(const StartEvidence& evidence, double window);

// How a finished start is worded when no status line says it ("ran to completion").
const char* start_state_name(StartState state);

}  // namespace Vexlan::ServiceManager
