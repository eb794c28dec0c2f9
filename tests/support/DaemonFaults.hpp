#pragma once
// The faults a real daemon's evidence meets on a server, and what each action must leave,
// shared by the daemon tests under both backends.

namespace testing_support::daemon_faults {

enum class Fault {
    PidfileGone,         // removed while the daemon runs
    PidfileNamesAnother  // the daemon is stopped and its pidfile names another live program
};
enum class Act { Status, Restart, Stop };

struct Cell {
    const char* what;
    Fault fault;
    Act act;
    int exit;
    int masters_after;  // the daemon's top processes afterwards (never two)
};

inline constexpr Cell kCells[] = {
    {"pidfile gone: status finds the running daemon", Fault::PidfileGone, Act::Status, 0, 1},
    {"pidfile gone: a restart leaves one daemon", Fault::PidfileGone, Act::Restart, 0, 1},
    {"pidfile gone: a stop ends the daemon", Fault::PidfileGone, Act::Stop, 0, 0},
    {"pidfile names another program: down", Fault::PidfileNamesAnother, Act::Status, 1, 0},
    {"pidfile names another program: a restart starts the daemon", Fault::PidfileNamesAnother, Act::Restart, 0, 1},
    {"pidfile names another program: nothing to stop", Fault::PidfileNamesAnother, Act::Stop, 0, 0},
};

inline const char* action_option(Act act) {
    return act == Act::Status ? "--status" : act == Act::Stop ? "--stop" : "--restart";
}

}  // namespace testing_support::daemon_faults
