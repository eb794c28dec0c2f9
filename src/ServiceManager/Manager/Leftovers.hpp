#pragma once
// What a stop leaves of a daemon that the init system does not track by a main process (an
// init script, a unit generated from one): the daemon as the identity rules know it is
// looked at before the stop, and what of it outlives the stop is ended here.
#include <vector>

#include "Process/Kill/Kill.hpp"

namespace Vexlan::ServiceManager {
class Base;
}

namespace Vexlan::ServiceManager::Manager {

// The daemon's processes (its program as its user), as they are before the stop.
std::vector<Kill::Target> daemon_before_stop(Base& svc);

// Ends, by the stray-process rules (TERM, then KILL after `wait`; the same processes only,
// never the program or its callers), what of `daemon` still runs once the stop has had
// LEFT_GRACE_SECONDS to end it; true when something was ended.
bool end_what_the_stop_left(Base& svc, const std::vector<Kill::Target>& daemon, double wait);
inline constexpr double LEFT_GRACE_SECONDS = 3;

}  // namespace Vexlan::ServiceManager::Manager
