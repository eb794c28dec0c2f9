#pragma once
// What an init script itself says about its daemon: the program it starts and the pidfile
// it keeps, read from its plain assignments ("DAEMON=/usr/sbin/cron",
// "PIDFILE=/var/run/$NAME.pid"), pidfile options and start-stop-daemon's user, the way an administrator reads it.
// Values built by commands are not guessed.
#include <optional>
#include <string>

namespace Vexlan::RestartSrv {

struct InitScriptFacts {
    std::optional<std::string> daemon;   // absolute path of the program the script starts
    std::optional<std::string> pidfile;  // absolute path of the pidfile it declares
    std::optional<std::string> user;     // the user start-stop-daemon runs the daemon as
    bool has_status_action = false;      // it answers "status" (a script without one may
                                         // exit 0 on any unknown word)
};

// 0 running, 3 not running, as the script's own status action says (bounded in time);
// nothing when it says anything else, has no status action, or does not return in time.
// `timed_out` (when given) tells a script that did not answer in time from one that has no
// answer: the first proves nothing about the daemon, either way.
std::optional<int> init_script_status(const std::string& script, bool* timed_out = nullptr);
inline constexpr double INIT_SCRIPT_STATUS_TIMEOUT = 10;

InitScriptFacts read_init_script_facts(const std::string& script);
// The same from a script's text (for parsing without a file).
InitScriptFacts parse_init_script(const std::string& text);

}  // namespace Vexlan::RestartSrv
