#include "SafeRun/Child.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <utility>

#include "Util/Guards.hpp"
#include "Util/Time.hpp"
#include "Util/UniqueFd.hpp"

namespace Vexlan::SafeRun {

namespace {
// The status once reaped; nullopt while it runs. A child that is not ours (reaped by
// someone else) counts as ended with status 0: there is nothing left to wait for.
std::optional<int> reap(pid_t pid, bool block) {
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc == pid) return status;
    if (rc < 0) return 0;
    return std::nullopt;
}
}  // namespace

Child::~Child() {
    if (running()) {
        ErrnoGuard keep;
        end();
    }
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)), leads_group_(other.leads_group_), status_(std::exchange(other.status_, std::nullopt)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (running()) end();
        pid_ = std::exchange(other.pid_, 0);
        leads_group_ = other.leads_group_;
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

void Child::signal(int signo) const {
    if (leads_group_) ::kill(-pid_, signo);
    ::kill(pid_, signo);
}

std::optional<int> Child::poll() {
    if (!running()) return status_;
    status_ = reap(pid_, false);
    return status_;
}

bool Child::has_exited_within(double timeout) const {
    // A pidfd turns readable when the child ends: one poll, no busy loop. The child is
    // not reaped here, so its pid (and its group's id) cannot be taken by another process.
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    const double deadline = Time::monotonic_seconds_f() + timeout;
    for (;;) {
        siginfo_t info{};
        int rc;
        do {
            rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0 || info.si_pid == pid_) return true;
        double left = deadline - Time::monotonic_seconds_f();
        if (left <= 0) return false;
        if (pidfd) {
            struct pollfd p {pidfd.get(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(std::ceil(std::min(left, 3600.0) * 1000)));
        } else {
            Time::sleep_for(std::min(left, 0.01));
        }
    }
}

std::optional<int> Child::wait(std::optional<double> timeout) {
    if (!running()) return status_;
    if (timeout && *timeout > 0 && !has_exited_within(*timeout)) return std::nullopt;
    status_ = reap(pid_, true);
    return status_;
}

int Child::end(double grace) {
    if (!running()) return status_.value_or(0);
    if (poll()) return *status_;
    signal(SIGTERM);
    // Whether the leader goes on TERM or not, what it started in its group goes with it,
    // before the leader is reaped and its group id could name someone else's group.
    if (!has_exited_within(grace) || leads_group_) signal(SIGKILL);
    status_ = reap(pid_, true);
    return *status_;
}

pid_t Child::release() {
    status_ = 0;
    return std::exchange(pid_, 0);
}

}  // namespace Vexlan::SafeRun
