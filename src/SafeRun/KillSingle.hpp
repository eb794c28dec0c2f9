#pragma once
#include <sys/types.h>

namespace Vexlan::Kill::Single {

// Ends one child of this process: TERM, up to `grace` seconds for it to go, then KILL.
// Always reaps it and returns its wait status.
int safekill_single_pid(pid_t pid, double grace);

}  // namespace Vexlan::Kill::Single
