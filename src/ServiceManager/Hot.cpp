#include "ServiceManager/Hot.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <pwd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fmt/format.h>

#include <fmt/ranges.h>

#include "Exception/Exception.hpp"
#include "Process/PidFile/PidFile.hpp"
#include "SafeRun/Object.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Text.hpp"
#include "Util/Time.hpp"
#include "Util/UniqueFd.hpp"

namespace Vexlan::ServiceManager {

Hot::Hot(const Options& options) : Base(options) {
    if (!has("is_graceful_restart_enabled")) set("is_graceful_restart_enabled", 1);
}

int Hot::is_graceful_restart_enabled() {
    const auto& v = get("is_graceful_restart_enabled", [] { return 1; });
    return v.is_number() ? v.get<int>() : (v.is_boolean() ? v.get<bool>() : 0);
}

std::optional<std::string> Hot::configuration_problem() {
    const auto command = configuration_test_command();
    if (command.empty()) return std::nullopt;
    debug(fmt::format("Testing the configuration of “{}” with “{}”.", service(), fmt::join(command, " ")));
    SafeRun::Options o;
    o.program = command.front();
    o.args.assign(command.begin() + 1, command.end());
    o.timeout = CONFIGURATION_TEST_TIMEOUT;
    o.keep_env = true;
    try {
        SafeRun::Object run(std::move(o));
        if (run.CHILD_ERROR().value_or(0) == 0) return std::nullopt;
        std::string said = Text::escape_control_keep_lines(run.stdout_text() + run.stderr_text());
        while (!said.empty() && said.back() == '\n') said.pop_back();
        const std::string how = run.autopsy().value_or("it failed");
        return said.empty() ? how : how + "\n" + said;
    } catch (const Exception::Base& e) {
        return e.to_string_no_id();
    }
}

bool Hot::_is_plain_pidfile(const struct stat& st) {
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size == 0) return false;
    if (st.st_uid == 0) return true;
    const std::string owner = processowner();
    const struct passwd* user = owner.empty() ? nullptr : ::getpwnam(owner.c_str());
    return user && user->pw_uid == st.st_uid;
}

int Hot::_send_usr1(pid_t pid) {
    // Never on the word of a file alone: not PID 1, not this program or its callers, and
    // only the service's own process.
    if (!PidFile::may_signal(pid) || !pid_is_own_process(pid)) return 0;
    return ::kill(pid, SIGUSR1) == 0 ? 1 : 0;
}

int Hot::restart_gracefully() {
    if (!is_graceful_restart_enabled()) {
        debug(fmt::format("Graceful restarts of “{}” are disabled.", service()));
        return 0;
    }
    const std::string pf = pidfile();
    if (pf.empty()) return 0;
    // Its directory may be the daemon user's: what is checked, read and touched is the one
    // file opened here, never whatever a link swapped in at the path names a moment later.
    UniqueFd file = FileUtils::open_without_links(pf);
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !_is_plain_pidfile(st)) {
        debug(fmt::format("The pidfile “{}” of “{}” is no plain file of the service's; no graceful restart.", pf,
                          service()));
        return 0;
    }
    time_t before = st.st_mtime;
    time_t now = ::time(nullptr);
    if (before == now) {
        // A rewrite within this very second must still show as a change.
        const struct timespec times[2] = {{now - 1, 0}, {now - 1, 0}};
        ::futimens(file.get(), times);
        before = now - 1;
    }
    auto pid_text = FileUtils::read_all(file.get(), 4096);
    auto pid = pid_text ? Number::pid_from_pidfile_text(*pid_text) : std::nullopt;
    if (!pid) {
        debug(fmt::format("The pidfile “{}” of “{}” names no process; no graceful restart.", pf, service()));
        return 0;
    }

    UniqueFd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    // Written in place (closed after writing), touched, or replaced by another file.
    if (!watch || ::inotify_add_watch(watch.get(), pf.c_str(), IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF) < 0) {
        warn(fmt::format("The system failed to watch “{}”: {}", pf, std::strerror(errno)));
        watch.reset();
    }
    if (!_send_usr1(*pid)) {
        debug(fmt::format("The pidfile “{}” names no process of “{}”; no graceful restart.", pf, service()));
        return 0;
    }

    for (int poll_no = 0; poll_no < POLLS; ++poll_no) {
        if (verbose() == 1) output_partial(PROGRESS_MARK);
        if (watch) {
            struct pollfd p {watch.get(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(POLL_WAIT * 1000));
        } else {
            Time::sleep_for(POLL_WAIT);
        }
        if (::stat(pf.c_str(), &st) == 0 && st.st_size > 0 && st.st_mtime != 0 && st.st_mtime != before) {
            if (verbose() == 2) output(fmt::format("The pidfile of “{}” was rewritten.", service()));
            return 1;
        }
        if (poll_no == 0 && verbose() == 2) output(fmt::format("Waiting for “{}” to restart gracefully.", service()));
    }
    if (verbose() != 0) output(fmt::format("“{}” did not restart gracefully.", service()));
    return 0;
}

}  // namespace Vexlan::ServiceManager
