#include "SafeRun/KillSingle.hpp"

#include "SafeRun/Child.hpp"

namespace Vexlan::Kill::Single {

int safekill_single_pid(pid_t pid, double grace) {
    if (pid <= 0) return 0;
    return SafeRun::Child(pid).end(grace);
}

}  // namespace Vexlan::Kill::Single
