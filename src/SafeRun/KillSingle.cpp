#include "SafeRun/KillSingle.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "Util/Time.hpp"

namespace Vexlan::Kill::Single {

namespace {
// The status once the child has been reaped, or -1 while it still runs.
int try_reap(pid_t pid, bool block) {
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc == pid) return status;
    if (rc < 0) return 0;  // not our child or already reaped: nothing left to wait for
    return -1;
}
}  // namespace

int safekill_single_pid(pid_t pid, double grace) {
    if (pid <= 0) return 0;
    int status = try_reap(pid, false);
    if (status >= 0) return status;
    ::kill(pid, SIGTERM);
    double deadline = Time::monotonic_seconds_f() + grace;
    while (Time::monotonic_seconds_f() < deadline) {
        status = try_reap(pid, false);
        if (status >= 0) return status;
        Time::sleep_for(0.01);
    }
    ::kill(pid, SIGKILL);
    return try_reap(pid, true);
}

}  // namespace Vexlan::Kill::Single
