#pragma once
// Whether an init-script service is up, judged from what could be learnt about it, in one
// place and with its precedence written down. The evidence is gathered lazily (asking the
// script forks it, and a script may hang): the judgement names the next witness it needs
// until it can decide.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Vexlan::Services {

struct ScriptEvidence {
    // The pidfile the script declares, held to the identity checks.
    enum class Pidfile {
        None,         // no pidfile declared, or none there
        Confirmed,    // its pid runs the script's program, as the daemon's owner
        Unconfirmed,  // a pid that is gone, or that cannot be tied to the daemon
        Refused,      // junk, a FIFO, a link, a pid never to be trusted, another live program
    };
    Pidfile pidfile = Pidfile::None;
    std::optional<pid_t> pidfile_pid;
    bool script_names_daemon = false;          // DAEMON= in the script
    std::optional<std::vector<pid_t>> daemon;  // its program running as its user; unset: not looked
    std::optional<int> script_status;          // the script's "status" exit; unset: not asked
    bool script_timed_out = false;
};

enum class Witness { Program, Script };

struct ScriptJudgement {
    enum class Verdict { Up, Down, CannotTell, Ask, Undecided } verdict;
    Witness ask{};               // with Ask: whom to ask next
    std::vector<pid_t> pids;     // with Up: the daemon's processes, when known
    const char* method = "";     // with Up: what decided
};

// Precedence, first match wins:
//  1. a confirmed pidfile: up;
//  2. a script that names its daemon: the daemon's program running as its user is up;
//     not running, with a refused pidfile, is down (the script would read the same file);
//  3. the script's status: 0 is up, unless the pidfile was refused; 0 then, or 3, is down;
//     a status that did not answer in time cannot tell;
//  4. any other answer: down when the script names its daemon (its program was looked for),
//     else undecided (the caller looks for a program named like the service).
ScriptJudgement judge_script_status(const ScriptEvidence& e);

}  // namespace Vexlan::Services
