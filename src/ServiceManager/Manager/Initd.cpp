#include "ServiceManager/Manager/Initd.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Exception/Exception.hpp"
#include "Process/PidFile/PidFile.hpp"
#include "Process/ProcFs.hpp"
#include "RestartSrv/InitScript.hpp"
#include "RestartSrv/Initd.hpp"
#include "RestartSrv/Legacy.hpp"
#include "RestartSrv/LoggedStartup.hpp"
#include "SafeRun/ChildErrorStringifier.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Manager/Leftovers.hpp"
#include "Util/Env.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/Regex.hpp"
#include "Util/Time.hpp"

namespace Vexlan::ServiceManager::Manager {

namespace {
std::vector<std::string> command_of(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> cmd{program};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

std::string joined(const std::vector<std::string>& words) {
    return fmt::format("{}", fmt::join(words, " "));
}

// Removes a pidfile (or a link planted there) if it exists; warns when it cannot.
void safeunlink(Base& svc, const std::string& path) {
    if (path.empty()) return;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        svc.warn(fmt::format("The system failed to remove “{}”: {}", path, std::strerror(errno)));
}
}  // namespace

Initd::Initd(std::string service, bool executed_by_systemd, bool wipe_startup_log)
    : service_(std::move(service)),
      executed_by_systemd_(executed_by_systemd),
      wipe_startup_log_(wipe_startup_log) {}

const std::optional<std::string>& Initd::init_script() {
    if (!script_looked_up_) {
        script_looked_up_ = true;
        init_script_ = RestartSrv::getinitfile(service_);
    }
    return init_script_;
}

std::optional<int> Initd::run(Base& svc, const std::vector<std::string>& command, bool wipe) {
    RestartSrv::StartupOptions options;
    options.wait = true;
    if (!RestartSrv::logged_startup(svc.service_name(), wipe, command, options)) return std::nullopt;
    const int status = last_child_status();
    if (auto timeout = RestartSrv::last_startup_timeout()) {
        last_error_ =
            fmt::format("“{}” did not return within {} seconds; it was ended.", joined(command), *timeout);
        svc.warn(last_error_);
    }
    return status;
}

bool Initd::start(Base& svc) {
    svc.debug(fmt::format("Starting “{}” without systemd.", svc.service_name()));
    std::vector<std::string> command;
    if (svc.is_vexlan_service()) {
        svc.debug("The service is one of the panel's own daemons: its binary starts it.");
        const std::string pidfile = svc.pidfile();
        if (!pidfile.empty() && FileUtils::is_regular_file(pidfile)) FileUtils::remove_from_its_directory(pidfile);
        Env::set_safe_path();
        command = command_of(svc.service_binary(), svc.startup_args());
    } else if (const auto& script = init_script()) {
        svc.debug(fmt::format("Starting “{}” with its init script “{}”.", svc.service_name(), *script));
        command = {*script, START_WORD};
    } else {
        svc.debug(fmt::format("“{}” has no init script: its binary starts it.", svc.service_name()));
        command = command_of(svc.service_binary(), svc.startup_args());
    }
    last_error_.clear();
    auto status = run(svc, command, wipe_startup_log_);
    started_at_ = Time::monotonic_seconds_f();
    if (status && *status != 0) {
        ChildErrorStringifier why(RestartSrv::last_startup_wait_status(), command[0]);
        if (last_error_.empty())
            last_error_ = fmt::format("“{}” failed: {}", joined(command), why.autopsy().value_or(""));
        svc.warn(fmt::format("The system failed to start “{}” with “{}”: {}", svc.service_name(),
                             joined(command), why.autopsy().value_or("")));
        return false;
    }
    if (status) svc.debug(fmt::format("“{}” ran successfully.", joined(command)));
    return true;
}

std::optional<bool> Initd::restart(Base& svc) {
    std::vector<std::string> command;
    if (svc.is_vexlan_service()) {
        safeunlink(svc, svc.pidfile());
        command = command_of(svc.service_binary(), svc.restart_args());
    } else if (const auto& script = init_script()) {
        command = {*script, START_WORD};
    } else {
        svc.warn(fmt::format("“{}” has no init script; its binary restarts it.", svc.service_name()));
        command = command_of(svc.service_binary(), svc.restart_args());
    }
    last_error_.clear();
    auto status = run(svc, command, wipe_startup_log_);
    started_at_ = Time::monotonic_seconds_f();
    if (status && *status != 0) return false;
    svc.debug(fmt::format("“{}” was restarted.", svc.service_name()));
    return true;
}

std::optional<bool> Initd::reload(Base& svc) {
    const auto& script = init_script();
    if (!script) return true;
    last_error_.clear();
    auto status = run(svc, {*script, RELOAD_WORD}, wipe_startup_log_);
    if (status && *status != 0) {
        if (last_error_.empty())
            last_error_ =
                fmt::format("“{} {}” failed with exit code {}.", *script, RELOAD_WORD, *status >> 8);
        return false;
    }
    if (svc.verbose()) svc.info(fmt::format("Reloaded “{}”.", svc.service_name()));
    return true;
}

StartEvidence Initd::start_evidence(Base&, bool status_up, double waited) {
    StartEvidence e;
    e.status_up = status_up;
    // Without a start of this run (a graceful restart), the wait's own age.
    e.since_started = started_at_ > 0 ? Time::monotonic_seconds_f() - started_at_ : waited;
    // A daemon may need a moment after its script returns; after that, the script's own
    // "not running" is final: it started nothing.
    if (!status_up && e.since_started >= START_SETTLE_SECONDS) {
        const auto& script = init_script();
        e.script_says_stopped = script && RestartSrv::init_script_status(*script) == 3;
    }
    return e;
}

bool Initd::stop_by_pidfile(Base& svc) {
    const std::string pidfile = svc.pidfile();
    if (pidfile.empty() || !FileUtils::exists(pidfile)) return false;
    // A FIFO, a link or junk planted where the pidfile belongs gives no pid; that is no
    // error: the script's stop may already have ended the daemon, and failing here would
    // leave the restart with the service stopped and nothing started.
    auto pid = PidFile::read(pidfile);
    // Only a real pid that is not this program, its callers or PID 1, and only once the
    // process is confirmed as the service's own.
    if (!pid) {
        svc.debug(fmt::format("The pidfile “{}” gives no pid that can be trusted.", pidfile));
        return false;
    }
    if (!PidFile::may_signal(*pid)) {
        svc.warn(fmt::format("The pidfile “{}” of “{}” names process {}, which is never signalled.", pidfile,
                             svc.service_name(), *pid));
        return false;
    }
    if (!FileUtils::is_directory(ProcFs::pid_dir(*pid))) return false;
    if (auto pattern = svc.pid_exe()) {
        char buf[4096];
        ssize_t n = ::readlink((ProcFs::pid_dir(*pid) + "/exe").c_str(), buf, sizeof buf - 1);
        // The script's own stop may have ended it a moment ago: a process that is gone has
        // nothing left to stop.
        if (n < 0 && (errno == ENOENT || errno == ESRCH)) return false;
        if (n < 0)
            throw Exception::create(Exception::Kinds::IO::FileOpenError,
                                    {{"path", ProcFs::pid_dir(*pid) + "/exe"},
                                     {"mode", "readlink"},
                                     {"error", errno},
                                     {"service", svc.service_name()}});
        static const Regex kDeleted(R"(^\(deleted\)\s+|\s+\(deleted\)$)");
        std::string exe(buf, static_cast<size_t>(n));
        if (auto m = kDeleted.captures(exe)) exe.erase(exe.find((*m)[0]), (*m)[0].size());
        if (!Regex(*pattern).match(exe)) {
            svc.warn(fmt::format("The pidfile “{}” of “{}” names a process of “{}”, not of the service.",
                                 pidfile, svc.service_name(), exe));
            return false;
        }
    }
    if (!svc.pid_is_own_process(*pid)) {
        svc.warn(fmt::format("The pidfile “{}” of “{}” names process {}, which is not the service's.",
                             pidfile, svc.service_name(), *pid));
        return false;
    }
    ::kill(*pid, SIGTERM);
    const long start = Time::monotonic_seconds();
    bool first = true;
    while (Time::monotonic_seconds() - start <= PIDFILE_STOP_WAIT) {
        if (!ProcFs::is_alive(*pid)) {
            svc.debug(fmt::format("Process {} of “{}” ended.", *pid, svc.service_name()));
            return true;
        }
        if (first) svc.debug(fmt::format("Waiting for process {} of “{}” to end.", *pid, svc.service_name()));
        first = false;
        Time::sleep_for(0.2);
    }
    return false;
}

bool Initd::stop(Base& svc) {
    int successes = 0;
    last_error_.clear();
    // The daemon as its identity shows it before the stop: what the script's stop leaves of
    // it (its pidfile gone, or naming a process that has exited) is ended below.
    const auto daemon = daemon_before_stop(svc);
    if (svc.is_vexlan_service()) {
        Env::set_safe_path();
        const auto args = svc.shutdown_args();
        if (!args.empty()) {
            auto status = run(svc, command_of(svc.service_binary(), args), false);
            if (status && *status == 0) {
                svc.debug(fmt::format("“{}” was stopped with its binary.", svc.service_name()));
                ++successes;
            }
        }
    } else if (const auto& script = init_script()) {
        auto status = run(svc, {*script, STOP_WORD}, false);
        if (status && *status == 0) {
            svc.debug(fmt::format("“{} {}” succeeded.", *script, STOP_WORD));
            ++successes;
        }
    }
    const bool handled_by_pid = stop_by_pidfile(svc);
    if (handled_by_pid) ++successes;
    if (end_what_the_stop_left(svc, daemon, PIDFILE_STOP_WAIT)) ++successes;
    const auto rules = svc.doomed_rules();
    const bool has_rules = (rules.is_array() || rules.is_object() || rules.is_string()) && !rules.empty();
    if (!handled_by_pid && has_rules) {
        svc.debug(fmt::format("Looking for leftover processes of “{}”.", svc.service_name()));
        std::optional<std::vector<std::string>> owners;
        if (!svc.processowner().empty()) owners = std::vector<std::string>{svc.processowner()};
        if (RestartSrv::doomedprocess(rules, svc.verbose() == 2, 0, owners)) {
            if (successes == 0)
                svc.debug(fmt::format("Leftover processes of “{}” were ended.", svc.service_name()));
            ++successes;
        }
    }
    if (svc.kill_apps_on_ports().value_or(0)) ++successes;
    if (successes == 0) svc.info(fmt::format("Nothing was found to stop for “{}”.", svc.service_name()));
    return true;
}

}  // namespace Vexlan::ServiceManager::Manager
