// Restart, start, stop and reload, with the guards and preparations they share.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Exception/Exception.hpp"
#include "Lock/Lock.hpp"
#include "Output/LogCheck.hpp"
#include "Output/Logger.hpp"
#include "Process/IONice/IONice.hpp"
#include "Process/Kill/AppPort.hpp"
#include "Process/PidFile/PidFile.hpp"
#include "Process/ProcessInfo/ProcessInfo.hpp"
#include "Process/ProcFs.hpp"
#include "Process/Rlimit/Unset.hpp"
#include "RestartSrv/Legacy.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "SafeRun/Finally.hpp"
#include "Server/Type/Profile/Roles.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Hot.hpp"
#include "Svcmond/Tiny.hpp"
#include "Util/ExitRequest.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Text.hpp"
#include "Util/Time.hpp"

namespace Vexlan::ServiceManager {

namespace {
// A process's command line as one printable line (its words joined by blanks).
std::string command_line_of(pid_t pid) {
    std::string raw = ProcFs::read_cmdline(pid).value_or("?");
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    std::replace(raw.begin(), raw.end(), '\0', ' ');
    return Text::escape_control(raw);
}

bool env_set(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}
}  // namespace

void Base::show_progress_word(bool ok, bool /*called_from_restart*/) {
    if (verbose() == 1 && output_obj_) {
        output_obj_->out(ok ? SUCCESS_WORD : FAILURE_WORD, Output::SOURCE_LOCAL, Output::COMPLETE_MESSAGE);
        output_obj_->out("", Output::SOURCE_LOCAL, Output::COMPLETE_MESSAGE);
    } else {
        debug(fmt::format("“{}”: {}", service(), ok ? SUCCESS_WORD : FAILURE_WORD));
    }
}

bool Base::restart(std::optional<int> graceful) {
    // The calls this restart makes are quiet and skip the checks it has already done.
    const bool outer = !restarting_;
    restarting_ = true;
    Finally done([this, outer] {
        if (outer) restarting_ = false;
    });

    _exit_if_block_fresh_install();
    if (outer) {
        if (auto text = _restarted_since_request()) {
            // Restarting again would add nothing but another start to systemd's start limit.
            if (verbose() == 1)
                output(fmt::format("“{}” was restarted by a concurrent call while this one waited for it.", service()));
            info(fmt::format("“{}” was restarted by a concurrent call after this request; it was not restarted again.",
                             service()));
            service_status(*text);
            return true;
        }
    }
    std::string is_running;
    try {
        is_running = status();
    } catch (const Exception::Base& e) {
        if (!e.isa(Exception::Kinds::Services::Down)) throw;
    }
    const bool running = !is_running.empty();
    const bool is_disabled = !is_enabled();
    const bool role_disabled = _service_is_role_aware_and_disabled() == 1;

    if ((role_disabled || is_disabled) && running) {
        service_argv_action("STOP");
        _pretend_not_called_from_restart(1);
        if (!stop()) return false;
        stopped_before_refusal_ = true;
        if (is_disabled) {
            info(fmt::format("The service “{}” is disabled; it was stopped.", service()));
            _generate_disabled_exception();
        }
        auto err = Exception::create(Exception::Kinds::Services::RoleDisabled, {{"service", service_name()}});
        info(err.to_string_no_id());
        throw err;
    }

    if (!running) {
        // A restart of a service that is down is a start, refused or not.
        service_argv_action("START");
        debug(fmt::format("“{}” is not running.", service()));
        check_sanity();
        _terminate_orphaned_processes();
        if (verbose() == 1) output_partial(fmt::format("Starting “{}” …", service()));
    } else {
        // A hook for what a class prepares before its daemon stops; its answer is no veto.
        stop_check();
        if (is_enabled()) {
            if (auto ok = restart_check(); ok && !*ok) return false;
            if (_restart_in_place(graceful)) return true;
        }
    }

    if (running) {
        // Whatever would make the start refuse must refuse before the stop: a restart that
        // stops a service and then declines to start it leaves the service down.
        if (!is_enabled()) _generate_disabled_exception();
        if (!_start_would_proceed()) return false;
        if (verbose() == 1)
            output_partial(fmt::format("Restarting “{}” …", service()));
        else
            debug(fmt::format("Stopping “{}” for the restart.", service()));
        // A stop that left the service running is a failed restart: a start on top of it
        // would leave two daemons, or report the old one as restarted.
        if (!stop()) _generate_restart_exception();
    }
    if (!is_enabled()) _generate_disabled_exception();
    if (!start()) return false;
    // The stop suspended the monitor so it would not start the service behind our back; it
    // runs again, and a monitor left suspended would not notice its next crash.
    if (running && !Svcmond::Tiny::resume_service(service_to_suspend()) && errno != ENOENT)
        warn(fmt::format("The monitor's suspension of “{}” could not be lifted.", service_to_suspend()));
    debug(fmt::format("The restart of “{}” succeeded.", service()));
    return true;
}

std::optional<pid_t> Base::main_pid_now() {
    RestartSrv::Systemd::Bus::get().forget();
    if (auto props = service_manager().service_via_systemd()) {
        const auto* live = RestartSrv::Systemd::Bus::get().unit_properties(service_manager().service() + ".service");
        if (!live || !live->contains("MainPID")) return std::nullopt;
        return Number::parse_pid(live->at("MainPID"));
    }
    const std::string pf = pidfile();
    if (pf.empty()) return std::nullopt;
    auto pid = PidFile::read(pf);
    if (!pid || !PidFile::may_signal(*pid) || !pid_is_own_process(*pid)) return std::nullopt;
    return pid;
}

std::optional<std::string> Base::_restarted_since_request() {
    // Only a call that had to wait for the lock can have been overtaken.
    auto* held = lock();
    if (!held || !held->waited()) return std::nullopt;
    // The instance running now against the moment this call was made, each on the clock
    // that counts it; a restart systemd made by itself was nobody's request.
    const Time::Moment& asked = Time::request_time();
    if (auto by_job = service_manager().started_by_a_job_after(*this, asked)) {
        if (!*by_job) return std::nullopt;
    } else {
        const auto pid = main_pid_now();
        if (!pid) return std::nullopt;
        const auto started = ProcFs::started_at_boottime(*pid);
        if (!started || *started <= asked.boottime) return std::nullopt;
    }
    // That restart must have worked: the instance it left passes the same window as a start
    // of this call's own would.
    const std::string text = wait_for_service_status(0);
    if (text.empty()) {
        debug(fmt::format("The concurrent restart of “{}” did not stay up; restarting it.", service()));
        service_manager().note_failure("");
        return std::nullopt;
    }
    debug(fmt::format("“{}” was started by a job after this call was made.", service()));
    return text;
}

bool Base::_restart_in_place(std::optional<int> graceful) {
    const int want_graceful = graceful ? *graceful : graceful_by_default();
    // The graceful capability is the Hot class: a class derives from it exactly when its
    // daemon restarts itself on a signal.
    if (auto* hot = dynamic_cast<Hot*>(this); hot && want_graceful) {
        // A configuration the daemon would die on: no signal, no stop; the running
        // instance goes on serving with the configuration it has.
        if (auto problem = hot->configuration_problem()) {
            service_manager().note_failure(fmt::format(
                "The configuration test of “{}” failed; the running instance was left as it is.\n{}", service(),
                *problem));
            info(service_manager().last_error());
            _generate_restart_exception();
        }
        if (verbose() == 1)
            output_partial(fmt::format("Restarting “{}” gracefully …", service()));
        else
            debug(fmt::format("Restarting “{}” gracefully.", service()));
        if (hot->restart_gracefully() && !wait_for_service_status(0).empty()) {
            show_progress_word(true, false);
            return true;
        }
        show_progress_word(false, false);
    }
    if (restart_args().empty()) return false;
    // The backend's restart writes to the startup log, not to the terminal, so the
    // announcement can follow the answer to whether the backend has one.
    auto result = service_manager().restart(*this);
    if (!result) return false;
    if (verbose() == 1)
        output_partial(fmt::format("Restarting “{}” through its init system …", service()));
    else
        debug(fmt::format("Restarted “{}” through its init system.", service()));
    if (*result && !wait_for_service_status(0).empty()) {
        show_progress_word(true, false);
        return true;
    }
    show_progress_word(false, false);
    return false;
}

bool Base::start() {
    const bool called_from_restart = _called_from_restart();
    if (!called_from_restart) {
        check_sanity();
        _terminate_orphaned_processes();
    }
    if (!preconditions_checked_ && !_start_would_proceed()) return false;

    debug("Setting the file-creation mask to 022.");
    ::umask(022);
    debug("Lifting resource limits.");
    setrlimits();
    debug("Resetting the priority.");
    resetnice();

    if (verbose() == 1 && !called_from_restart)
        output_partial(fmt::format("Starting “{}” …", service()));
    else
        debug(fmt::format("Starting “{}”.", service()));

    const auto current = current_restart_attempt();
    int attempt = current.value_or(0);
    int max = restart_attempts().value_or(0);
    if (max < 1) max = 1;
    const int can_kill = static_cast<int>(ports().size());
    if (max < 2 && can_kill != 0) ++max;  // a service with ports always gets a second attempt

    bool started = false;
    while (attempt < max || current) {
        if (verbose() == 1) output_partial(PROGRESS_MARK);
        if (attempt > 0) {
            debug(fmt::format("Start attempt {} for “{}”.", attempt, service()));
            if (attempt == 1 && can_kill != 0) kill_apps_on_ports();
            service_manager().restart_attempt(*this, attempt);
            restart_attempt(attempt);
        }
        const std::string pf = pidfile();
        if (!pf.empty() && FileUtils::exists(pf) && !is_up_via_pidfile()) {
            debug(fmt::format("Removing the stale pidfile “{}”.", pf));
            FileUtils::remove_from_its_directory(pf);
        }
        // The one the daemon writes by its own configuration, where the unit names none.
        if (const std::string own = configured_pidfile(); own != pf && !own.empty() && FileUtils::exists(own)) {
            const auto pid = PidFile::read(own);
            if (!pid || !ProcFs::is_alive(*pid) || !pid_is_own_process(*pid)) {
                debug(fmt::format("Removing the stale pidfile “{}”.", own));
                FileUtils::remove_from_its_directory(own);
            }
        }
        if (service_manager().start(*this) && (pf.empty() || is_up_via_pidfile()) &&
            !wait_for_service_status(attempt).empty()) {
            started = true;
            break;
        }
        if (current) break;
        ++attempt;
    }
    if (!started) {
        show_progress_word(false, called_from_restart);
        _generate_start_exception();
    }
    show_progress_word(true, called_from_restart);
    return true;
}

bool Base::_still_up_after_stop() {
    const double deadline = Time::monotonic_seconds_f() + STOP_CONFIRM_SECONDS;
    for (;;) {
        RestartSrv::Systemd::Bus::get().forget();
        if (!is_up()) return false;
        if (Time::monotonic_seconds_f() >= deadline) return true;
        Time::sleep_for(0.2);
    }
}

bool Base::_start_would_proceed() {
    if (!is_enabled()) return false;
    // systemd would refuse the start: a restart must not stop what it cannot start again.
    if (auto why = service_manager().start_refusal(*this)) {
        service_manager().note_failure(*why);
        info(fmt::format("“{}” cannot be started: {}", service(), *why));
        return false;
    }
    if (auto ok = start_check(); ok && !*ok) return false;
    _exit_if_block_fresh_install();
    debug("Checking the log directory.");
    LogCheck::logcheck();
    preconditions_checked_ = true;
    return true;
}

bool Base::stop() {
    const bool called_from_restart = _called_from_restart();
    const bool quiet_line = verbose() != 1 || called_from_restart;
    // A unit still starting, reloading or stopping is there to stop even before any status
    // calls it up: a moment later it would be running.
    auto& backend = service_manager();
    if (!backend.this_process_was_executed_by_systemd() && !is_up() &&
        !backend.has_something_to_stop(*this).value_or(false)) {
        if (!quiet_line) {
            output(nothing_to_stop_text(service()));
            output("");
        } else {
            debug(nothing_to_stop_text(service()));
        }
        found_nothing_to_stop_ = !called_from_restart;
        return true;
    }
    stop_check();
    if (!quiet_line)
        output_partial(fmt::format("Stopping “{}” …", service()));
    else
        debug(fmt::format("Stopping “{}”.", service()));
    // The stop goes on without it, but the monitor may start the service again: say so.
    if (auto suspended = Svcmond::Tiny::suspend_service(service_to_suspend(), suspend_time()); !suspended.value_or(false)) {
        const std::string why = fmt::format(
            "The monitor's suspension of “{}” could not be written ({}); the monitor may start it again.",
            service_to_suspend(), std::strerror(errno));
        if (verbose() == 1 && output_obj_) output_obj_->warn(why);
        logger()->warn(why);
    }
    if (verbose() == 1) output_partial(PROGRESS_MARK);
    bool success = service_manager().stop(*this);
    // An init script may call a stop done while its daemon runs on; the verdict is the
    // service's state afterwards. (A stop that systemd itself runs is checked by systemd;
    // one asked for with --initd by a person is not.)
    if (success && ::getppid() != 1 && _still_up_after_stop()) {
        backend.note_failure(fmt::format("“{}” is still running after its stop.", service()));
        info(backend.last_error());
        success = false;
    }
    if (!called_from_restart) _terminate_orphaned_processes();
    if (!quiet_line && output_obj_) {
        output_obj_->out(success ? SUCCESS_WORD : FAILURE_WORD, Output::SOURCE_LOCAL,
                         Output::COMPLETE_MESSAGE);
        output_obj_->out("", Output::SOURCE_LOCAL, Output::COMPLETE_MESSAGE);
    }
    return success;
}

bool Base::reload() {
    if (!is_enabled()) _generate_disabled_exception();
    if (!support_reload()) return true;
    std::string out;
    try {
        out = status();
        if (!out.empty()) check_sanity();
    } catch (const Exception::Base& e) {
        if (!(e.isa(Exception::Kinds::Services::Down) || e.isa(Exception::Kinds::Services::Disabled) ||
              e.isa(Exception::Kinds::Services::NotConfigured)))
            throw;
        out.clear();
    }
    auto& backend = service_manager();
    if (out.empty()) {
        // Nothing ran to read its configuration again: calling that a reload would tell the
        // caller the new configuration is live.
        backend.note_failure(fmt::format("“{}” is not running; there is nothing to reload.", service()));
        return false;
    }
    if (verbose() != 0) info(fmt::format("Reloading “{}”.", service()));
    auto r = backend.reload(*this);
    if (!r) return true;
    if (!*r) return false;
    // A daemon may take a bad configuration as its cue to exit, a moment after the reload
    // returned: the reload is done only when the service stays up, as the same instance,
    // through the window.
    const double window = reload_confirm_seconds();
    const double until = Time::monotonic_seconds_f() + window;
    double pause = 0.05;
    for (;;) {
        RestartSrv::Systemd::Bus::get().forget();
        if (auto why = backend.reloaded_instance_lost(*this)) {
            backend.note_failure(fmt::format("“{}” did not stay up after its reload: {}", service(), *why));
            return false;
        }
        if (!is_up()) {
            backend.note_failure(fmt::format("“{}” is no longer running after its reload.", service()));
            return false;
        }
        const double left = until - Time::monotonic_seconds_f();
        if (left <= 0) return true;
        Time::sleep_for(std::min(pause, left));
        pause = std::min(pause * 2, 1.0);
    }
}

bool Base::_called_from_restart() {
    if (_pretend_not_called_from_restart()) {
        _pretend_not_called_from_restart(0);
        return false;
    }
    return restarting_;
}

void Base::resetnice() {
    debug("Resetting the scheduling priority to 0.");
    if (::setpriority(PRIO_PROCESS, 0, 0) != 0)
        warn(fmt::format("The system failed to reset the scheduling priority: {}", std::strerror(errno)));
    IONice::reset();
}

void Base::setrlimits() {
    debug("Lifting the inherited resource limits.");
    Rlimit::Unset::unset_rlimits();
}

std::optional<int> Base::kill_apps_on_ports(const std::vector<std::string>& exclude_ips) {
    auto p = ports();
    if (p.empty()) return std::nullopt;
    debug(fmt::format("Terminating the programs that hold the ports {} of “{}”.", fmt::join(p, ", "),
                      service()));
    // Another program may be ended here: the operator must be able to tell which, from the
    // screen and from the log.
    const auto lineage = ProcessInfo::get_pid_lineage();
    for (const auto& l : Kill::AppPort::find_listeners(p, exclude_ips)) {
        if (l.pid == 1 || std::find(lineage.begin(), lineage.end(), l.pid) != lineage.end()) continue;
        const auto uid = ProcFs::owner_uid(l.pid);
        const std::string line = fmt::format(
            "Ending process {} ({}, user {}) to free port {} for “{}”.", l.pid,
            command_line_of(l.pid),
            uid ? ProcFs::user_name(*uid) : std::string("?"), l.port, service());
        if (verbose() == 1) output(line);
        logger()->warn(line);
    }
    // Its progress is for a person who asked to see progress.
    Kill::AppPort::kill_apps_on_ports(p, Kill::AppPort::VERBOSE && verbose() != 0, exclude_ips);
    return 1;
}

void Base::_terminate_orphaned_processes() {
    auto props = service_manager().service_via_systemd();
    if (!props) return;
    auto it = props->find("SubState");
    if (it == props->end() || it->second != RestartSrv::Systemd::ORPHANS_SUBSTATE) return;
    if (RestartSrv::doomedprocess(doomed_rules(), is_debug_enabled()))
        info(fmt::format("Terminated orphaned processes of “{}”.", service_name()));
}

void Base::_exit_if_block_fresh_install() {
    if (env_set("VEXLAN_BASE_INSTALL") && block_fresh_install() && !call_with_force()) {
        info(fmt::format("“{}” is left alone while the base installation runs.", service_name()));
        _exit(0);
    }
}

int Base::_service_is_role_aware_and_disabled() {
    return Server::Type::Profile::Roles::is_service_allowed(service()) ? 0 : 1;
}

void Base::_verify_role() {
    if (verify_role_passed_) return;
    if (_service_is_role_aware_and_disabled() == 1) _no_roles_exception();
    verify_role_passed_ = true;
}

void Base::_exit(int code) { request_exit(code); }

namespace {
// A service error, with what the init system said about it when it said something.
Exception::Base service_error(const Exception::Kind& kind, const std::string& service,
                              const std::string& reason) {
    if (reason.empty()) return Exception::create(kind, {{"service", service}});
    return Exception::create(kind, std::string(kind.message_template()) + "\n{reason}",
                             {{"service", service}, {"reason", reason}});
}
}  // namespace

// What the action itself noted, or else what the init system knows of the service now: a
// failure never goes without its reason when one can be had.
std::string Base::failure_reason() {
    if (const std::string& noted = service_manager().last_error(); !noted.empty()) return noted;
    try {
        return service_manager().failure_reason(*this);
    } catch (const std::exception&) {
        return "";
    }
}

void Base::_generate_start_exception() {
    throw service_error(Exception::Kinds::Services::StartFailed, service(), failure_reason());
}
void Base::_generate_stop_exception() {
    throw service_error(Exception::Kinds::Services::StopFailed, service(), failure_reason());
}
void Base::_generate_restart_exception() {
    throw service_error(Exception::Kinds::Services::RestartFailed, service(), failure_reason());
}
void Base::_generate_reload_exception() {
    throw service_error(Exception::Kinds::Services::ReloadFailed, service(), failure_reason());
}
void Base::_generate_is_down_exception() {
    auto quiet = Exception::get_stack_trace_suppressor();
    if (const auto where = service_manager().transition(*this)) {
        if (*where == "stopping")
            throw Exception::create(Exception::Kinds::Services::Stopping, {{"service", service()}});
        throw Exception::create(Exception::Kinds::Services::Starting,
                                {{"service", service()},
                                 {"how", *where == "restarting" ? "is being restarted by systemd" : "is starting"}});
    }
    throw Exception::create(Exception::Kinds::Services::Down, {{"service", service()}});
}
void Base::_generate_disabled_exception() {
    throw Exception::create(Exception::Kinds::Services::Disabled, {{"service", service()}});
}
void Base::_generate_not_configured_exception() {
    throw Exception::create(Exception::Kinds::Services::NotConfigured,
                            {{"service", service()}, {"reason", not_configured_reason()}});
}
void Base::_generate_not_installed_exception() {
    throw Exception::create(Exception::Kinds::Services::NotInstalled, {{"service", service()}});
}
void Base::_generate_binary_not_found_exception(int error) {
    throw Exception::create(
        Exception::Kinds::Services::NoBinary,
        {{"service", service()},
         {"path", service_binary()},
         {"error", error ? std::string(std::strerror(error)) : std::string("it is not executable")}});
}
void Base::_no_roles_exception() {
    throw Exception::create(Exception::Kinds::Services::RoleDisabled, {{"service", service_name()}});
}

}  // namespace Vexlan::ServiceManager
