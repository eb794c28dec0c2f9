#include "SafeRun/Setsid.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "Exception/Exception.hpp"
#include "Util/ExitRequest.hpp"
#include "Util/Guards.hpp"
#include "SafeRun/Counters.hpp"

namespace Vexlan::Sys::Setsid {

namespace {
int wait_for(pid_t pid) {
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    return rc == pid ? status : 0;
}
}  // namespace

pid_t full_daemonize(bool keep_parent) {
    SafeRun::count_child_started();
    pid_t first = ::fork();
    if (first < 0) throw Exception::create(Exception::Kinds::IO::ForkError, {{"error", errno}});
    if (first > 0) {
        if (!keep_parent) throw ExitRequest(0);
        set_last_child_status(wait_for(first));
        return first;
    }
    // Intermediate child: it must never return into the caller's code.
    if (::setsid() < 0) {
        int err = errno;
        ::_exit(err ? err : 1);
    }
    pid_t second = ::fork();
    if (second < 0) ::_exit(errno ? errno : 1);
    if (second > 0) {
        if (!keep_parent) ::_exit(0);
        int status = wait_for(second);
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 0);
    }
    return 0;
}

}  // namespace Vexlan::Sys::Setsid
