// Status, check and liveness: whether a service is up and what its status line says.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "Config/LoadVxConf.hpp"
#include "Exception/Exception.hpp"
#include "OS/OS.hpp"
#include "Output/Debug.hpp"
#include "Output/Logger.hpp"
#include "Pkgr/Pkgr.hpp"
#include "Process/PidFile/PidFile.hpp"
#include "Process/ProcFs.hpp"
#include "Process/ProcessCheck/Running.hpp"
#include "Process/PsParser/PsParser.hpp"
#include "RestartSrv/CheckService.hpp"
#include "RestartSrv/CheckServiceFallback.hpp"
#include "RestartSrv/Legacy.hpp"
#include "CommandLine/ParseArgv.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Manager/Initd.hpp"
#include "ServiceManager/Manager/Systemd.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Regex.hpp"
#include "Util/Time.hpp"

namespace Vexlan::ServiceManager {

bool Base::uses_initd_option() const {
    for (const auto& a : argv_)
        if (a == RestartSrv::OPT_INITD) return true;
    return false;
}

std::string Base::_get_systemd_name(const std::string& name) {
    return OS::systemd_unit_name(name);
}

std::unique_ptr<Manager::Backend> Base::_build_service_manager() {
    if (uses_initd_option() || ::getppid() == 1)
        return std::make_unique<Manager::Initd>(service_name(), true);
    const std::string systemd_name = _get_systemd_name(service_name());
    if (auto map = RestartSrv::Systemd::has_service_via_systemd(systemd_name))
        return std::make_unique<Manager::Systemd>(systemd_name, *map);
    // Driving the script of a generated unit directly would be turned by the script's own
    // hook into a start of an already active unit: a no-op that leaves a dead daemon dead.
    if (auto map = RestartSrv::Systemd::generated_from_init_script(systemd_name))
        return std::make_unique<Manager::Systemd>(systemd_name, *map);
    // A routine fact, not a warning: the error log must not grow by a line on every call.
    debug(fmt::format("The service “{}” has no systemd unit; using its init script.", service_name()));
    return std::make_unique<Manager::Initd>(service_name(), false);
}

std::string Base::get_status_string() {
    if (!can_check_service_status())
        return fmt::format("The status of “{}” cannot be checked; it is assumed to be up.", service_name());
    if (auto text = service_manager().status_helper(*this)) return *text;
    return RestartSrv::check_service(status_args());
}

RestartSrv::CheckServiceArgs Base::status_args() {
    RestartSrv::CheckServiceArgs args;
    args.service = service_name();
    args.user = processowner();
    args.pidfile = pidfile();
    args.ignore_systemd = uses_initd_option();
    args.command_line_regex = command_line_regex();
    args.program_regex = pid_exe();
    return args;
}

std::vector<pid_t> Base::daemon_processes() {
    return Services::daemon_processes(status_args());
}

std::string Base::status() {
    const bool from_restart = _called_from_restart();
    std::string text = get_status_string();
    service_status(text);
    last_status_ = text;
    if (!text.empty()) return text;
    if (!from_restart) check_sanity();
    // "Down" only when this process could have seen it up.
    if (auto why = status_cannot_be_told())
        throw Exception::create(Exception::Kinds::Services::Undetermined,
                                {{"service", service()}, {"reason", *why}});
    _generate_is_down_exception();
}

std::optional<std::string> Base::status_cannot_be_told() {
    if (::geteuid() == 0) return std::nullopt;
    if (auto why = RestartSrv::Systemd::systemd_cannot_be_asked()) return why;
    // With /proc mounted hidepid, other users' processes (PID 1 among them) are invisible.
    if (!FileUtils::exists(ProcFs::pid_dir(1)))
        return std::string("the processes of other users are hidden from this user");
    return std::nullopt;
}

bool Base::check() {
    std::string text = status();
    if (!text.empty()) check_sanity();
    auto& backend = service_manager();
    debug(fmt::format("Checking “{}” with its backend.", service()));
    if (auto ok = backend.check(*this, text)) return *ok;
    return true;
}

std::pair<bool, std::string> Base::check_with_message() {
    std::string saved = last_status_;
    last_status_.clear();
    struct Restore {
        std::string& target;
        std::string value;
        ~Restore() { target = value; }
    } restore{last_status_, saved};
    bool ok = check();
    std::string message = last_status_.empty() ? get_status_string() : last_status_;
    return {ok, message};
}

std::string Base::wait_for_service_status(int attempt) {
    if (!can_check_service_status()) return "1";
    if (attempt == 0) {
        if (verbose() == 1)
            output_partial(fmt::format(" waiting for “{}” to come up ", service()));
        else
            debug(fmt::format("Waiting for “{}” to come up.", service()));
    }
    service_status("");
    const double window = start_confirm_seconds();
    const long start = Time::monotonic_seconds();
    const double began = Time::monotonic_seconds_f();
    long t = 0;
    std::set<long> logged;
    long shown = -1;
    std::string last;
    StartState state = StartState::Pending;
    const double limit = configured_seconds(START_TIMEOUT_KEY, START_TIMEOUT_SECONDS);
    // Each look may run the init script: the pause grows until it is a second, so a start
    // that never comes up does not fork a script twenty times a second for two minutes.
    double pause = 0.05;
    while (Time::monotonic_seconds_f() - began < limit) {
        // A dot a second, and the seconds every fifth: a long wait must not look like a hang.
        // Looks a second or more apart still mark every second they passed.
        while (verbose() == 1 && shown < t) {
            ++shown;
            output_partial(shown > 0 && shown % 5 == 0 ? fmt::format(" {} s ", shown) : std::string(PROGRESS_MARK));
        }
        RestartSrv::Systemd::Bus::get().forget();  // every probe asks afresh
        // systemd's own "failed" decides without a status check (whose confirmation of a
        // changed state would only add a pause).
        if (auto first = service_manager().start_evidence(*this, false, Time::monotonic_seconds_f() - began);
            first.active_state == "failed" || first.restarted_by_systemd) {
            state = StartState::Failed;
            if (!first.why.empty()) service_manager().note_failure(first.why);
            break;
        }
        try {
            last = status();
        } catch (...) {
            last.clear();  // a failed probe counts as down
        }
        const StartEvidence evidence =
            service_manager().start_evidence(*this, !last.empty(), Time::monotonic_seconds_f() - began);
        state = judge_start(evidence, window);
        if (state == StartState::Failed && !evidence.why.empty()) service_manager().note_failure(evidence.why);
        if (state != StartState::Pending) break;
        t = Time::monotonic_seconds() - start;
        if (!logged.count(t)) {
            debug(fmt::format("“{}” is not confirmed up after {} seconds.", service(), t));
            logged.insert(t);
        }
        double next = pause;
        // Up and only waiting out the window: look again when it ends, not a second later.
        if (evidence.status_up)
            next = std::min(next, std::max(0.02, window - evidence.main_age.value_or(evidence.since_started)));
        Time::sleep_for(next);
        pause = std::min(pause * 1.5, 1.0);
    }
    if (state == StartState::Failed) {
        debug(fmt::format("“{}” did not come up, or did not stay up.", service()));
        last.clear();
    } else if (state == StartState::Confirmed && last.empty()) {
        last = fmt::format("“{}” ran to completion.", service());
    } else if (state == StartState::Pending) {
        last.clear();
    }
    service_status(last);
    return last;
}

double Base::configured_seconds(const char* key, double fallback) {
    if (auto text = Config::LoadVxConf::value(key)) {
        if (auto ms = Number::parse_trimmed<long>(*text, 0, 600000)) return static_cast<double>(*ms) / 1000.0;
        warn(fmt::format("“{}” in the main configuration is not a number of milliseconds; {} s applies.", key,
                         fallback));
    }
    return fallback;
}

double Base::start_confirm_seconds() {
    // The main configuration sets the window for the whole panel; a class whose daemon is
    // known to die later may lengthen it, never shorten it.
    return std::max(configured_seconds(START_CONFIRM_KEY, START_CONFIRM_SECONDS),
                    _build_minimum_start_confirm_seconds());
}

double Base::reload_confirm_seconds() {
    // A daemon that dies of its new configuration dies about as soon as one started with it.
    if (!Config::LoadVxConf::value(RELOAD_CONFIRM_KEY)) return start_confirm_seconds();
    return configured_seconds(RELOAD_CONFIRM_KEY, start_confirm_seconds());
}

bool Base::is_up(const std::string& via) {
    if (auto hook = service_manager().is_up_hook(*this, via)) return *hook;
    std::string text = get_status_string();
    if (!via.empty()) {
        Regex pattern(Regex::quote(via) + R"((?:\+[^)]*)? check method\))");
        return pattern.match(text);
    }
    return !text.empty();
}

int Base::is_up_via_pidfile() {
    const std::string pf = pidfile();
    if (pf.empty()) return 0;
    if (!RestartSrv::_has_proc())
        throw Exception::create(Exception::Kinds::Generic,
                                {{"message", "/proc is not mounted; process liveness cannot be judged."}});
    const long start = Time::monotonic_seconds();
    bool appeared = FileUtils::is_regular_file(pf);
    while (!appeared && Time::monotonic_seconds() - start <= startup_timeout()) {
        Time::sleep_for(0.05);
        appeared = FileUtils::is_regular_file(pf);
    }
    if (!appeared) {
        Logger::ENABLE_BACKTRACE = false;
        logger()->warn(fmt::format("The pidfile “{}” of “{}” did not appear within {} seconds.", pf,
                                   service(), startup_timeout()));
        return 0;
    }
    pidfile_precheck();
    // A daemon may write its pidfile before it detaches and again after (cron names its
    // short-lived parent first), or leave it empty for a moment: give it a short while to
    // name a live process before calling the start failed.
    const double settle_until = Time::monotonic_seconds_f() + PIDFILE_SETTLE_SECONDS;
    std::optional<pid_t> pid;
    for (;;) {
        pid = PidFile::read(pf);
        // A live process is not enough: a stale pidfile may name another program's.
        if (pid && FileUtils::is_directory(ProcFs::pid_dir(*pid)) && !ProcFs::is_zombie(*pid) &&
            pid_is_own_process(*pid))
            return 1;
        if (Time::monotonic_seconds_f() >= settle_until) break;
        Time::sleep_for(0.1);
    }
    if (pid)
        debug(fmt::format("Process {} of the pidfile “{}” is not running, or is not the service's.", *pid, pf));
    else
        debug(fmt::format("The pidfile “{}” of “{}” holds no process number.", pf, service()));
    return 0;
}

bool Base::pid_is_own_process(pid_t pid) {
    if (auto props = service_manager().service_via_systemd()) {
        if (RestartSrv::Systemd::pid_is_in_unit(pid, service_manager().service())) return true;
    }
    try {
        ProcessCheck::Running::Options o;
        o.pid = std::to_string(pid);
        o.user = processowner();
        if (auto re = command_line_regex())
            o.pattern = Regex(*re);
        else if (!pid_exe())
            o.pattern_text = service();
        else
            o.pattern = Regex(".");  // the executable decides below
        o.use_services_ignore = true;
        ProcessCheck::Running check(o);
        check.check_all();
        if (auto exe_pattern = pid_exe()) {
            std::string exe = Proc::Bin::getbin(pid);
            if (!Regex(*exe_pattern).match(exe)) {
                debug(fmt::format("Process {} runs “{}”, not a program of “{}”.", pid, exe, service()));
                return false;
            }
        }
        return true;
    } catch (const Exception::Base& e) {
        debug(fmt::format("Process {} is not one of “{}”: {}", pid, service(), e.to_string_no_id()));
        return false;
    }
}

bool Base::check_sanity() {
    _verify_role();
    if (!is_configured()) _generate_not_configured_exception();
    if (can_check_service_status() && !is_enabled()) {
        if (verbose() && RestartSrv::is_service_disabled(service()))
            debug(fmt::format("The legacy disable marker “{}” exists.",
                              RestartSrv::legacy_disable_marker(service())));
        _generate_disabled_exception();
    }
    const std::string binary = service_binary();
    const bool runnable =
        !binary.empty() && ::access(binary.c_str(), X_OK) == 0 && FileUtils::is_regular_file(binary);
    const auto packages = service_package();
    if (!runnable && !packages.empty()) {
        debug(fmt::format("“{}” has no runnable binary; checking its packages.", service()));
        for (const auto& pkg : packages) {
            const auto state = Pkgr::package_state(pkg);
            if (state == Pkgr::State::Unknown) {
                // A package tool that cannot answer (a locked database) proves nothing.
                warn(fmt::format("Whether the package “{}” of “{}” is installed cannot be told now.", pkg,
                                 service()));
                continue;
            }
            if (state == Pkgr::State::Missing) {
                if (verbose())
                    info(fmt::format("The package “{}” of “{}” is not installed.", pkg, service()));
                _generate_not_installed_exception();
            }
        }
    }
    if (!binary.empty() && ::access(binary.c_str(), X_OK) != 0) _generate_binary_not_found_exception(errno);
    return true;
}

}  // namespace Vexlan::ServiceManager
