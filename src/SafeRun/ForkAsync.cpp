#include "SafeRun/ForkAsync.hpp"

#include <linux/close_range.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "Exception/Exception.hpp"
#include "Util/Guards.hpp"
#include "SafeRun/Counters.hpp"

namespace Vexlan::ForkAsync {

namespace {
pid_t fork_and_run(const std::function<void()>& code, bool quiet) {
    ErrnoGuard keep;
    SafeRun::count_child_started();
    pid_t pid = ::fork();
    if (pid < 0) throw Exception::create(Exception::Kinds::IO::ForkError, {{"error", errno}});
    if (pid > 0) return pid;
    errno = 0;
    try {
        code();
        ::_exit(0);
    } catch (const Exception::Base& e) {
        // Building the error object may have touched errno; the error it carries is the truth.
        int err = e.get("error").is_number_integer() ? e.get("error").get<int>() : errno;
        if (!quiet) {
            std::string text = e.to_string();
            if (text.empty() || text.back() != '\n') text += '\n';
            [[maybe_unused]] ssize_t n = ::write(2, text.data(), text.size());
        }
        ::_exit(err > 0 && err < 256 ? err : DEFAULT_ERROR_CODE);
    } catch (...) {
        int err = errno;
        if (!quiet) {
            std::string text = Exception::get_string(std::current_exception());
            if (text.empty() || text.back() != '\n') text += '\n';
            [[maybe_unused]] ssize_t n = ::write(2, text.data(), text.size());
        }
        ::_exit(err > 0 && err < 256 ? err : DEFAULT_ERROR_CODE);
    }
}
}  // namespace

pid_t do_in_child(const std::function<void()>& code) { return fork_and_run(code, false); }
pid_t do_in_child_quiet(const std::function<void()>& code) { return fork_and_run(code, true); }

void close_fds_from(int first, int keep) {
    if (keep < first) {
        if (::syscall(SYS_close_range, first, UINT_MAX, 0) == 0) return;
    } else {
        bool ok = true;
        if (keep > first) ok = ::syscall(SYS_close_range, first, keep - 1, 0) == 0;
        if (ok && ::syscall(SYS_close_range, keep + 1, UINT_MAX, 0) == 0) return;
    }
    long max = ::sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (int fd = first; fd < max; ++fd)
        if (fd != keep) ::close(fd);
}

}  // namespace Vexlan::ForkAsync
