#pragma once
#include <sys/types.h>

namespace Vexlan::Sys::Setsid {

// Detaches into a new session by the double-fork method. Returns 0 in the final,
// detached process. With keep_parent the caller waits for the intermediate child (which
// waits for the final one and passes on its exit code) and gets the intermediate's pid,
// its status in the last child status. Without keep_parent the calling process leaves
// through the orderly exit path with status 0 (ExitRequest).
pid_t full_daemonize(bool keep_parent);

}  // namespace Vexlan::Sys::Setsid
