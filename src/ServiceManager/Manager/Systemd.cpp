#include "ServiceManager/Manager/Systemd.hpp"

#include <unistd.h>

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Exception/Exception.hpp"
#include "Process/Kill/Kill.hpp"
#include "Process/PidFile/PidFile.hpp"
#include "Process/ProcFs.hpp"
#include "RestartSrv/CheckService.hpp"
#include "RestartSrv/Legacy.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Manager/Leftovers.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Time.hpp"

namespace Vexlan::ServiceManager::Manager {

namespace Queries = RestartSrv::Systemd;

namespace {
double g_confirm_pause = 1.0;
}  // namespace

void Systemd::set_confirm_pause_for_testing(double seconds) {
    g_confirm_pause = seconds;
}

Systemd::Systemd(std::string service, PropertyMap snapshot)
    : service_(std::move(service)), snapshot_(std::move(snapshot)) {
    if (::getppid() == 1)
        throw Exception::create(Exception::Kinds::Generic,
                                {{"message", "The systemd backend cannot act on “" + service_ +
                                                 "” from a process that systemd started."}});
}

bool Systemd::job(Base& svc, const std::string& method, const std::string& unit, const char* what,
                  const char* verb) {
    auto outcome = Queries::Bus::get().run_job(method, unit, 3600, verb);
    job_done_at_ = Time::monotonic_seconds_f();
    // The unit may have changed in every way; the next questions must see it as it is now.
    snapshot_ = Queries::get_service_info_via_systemd(service_);
    if (outcome.ok) {
        last_error_.clear();
        svc.debug(fmt::format("systemd {} “{}”.", what, unit));
        return true;
    }
    last_error_ = outcome.error;
    svc.info(fmt::format("The system failed to {} “{}”: {}", verb, svc.service_name(), outcome.error));
    return false;
}

Systemd::Instance Systemd::instance_of(const PropertyMap& props) {
    auto get = [&](const char* key) { return props.contains(key) ? props.at(key) : std::string(); };
    return {get("InvocationID"), Number::parse<long>(get("NRestarts")), get("MainPID")};
}

bool Systemd::start(Base& svc) {
    // A start already under way is joined and judged, not cut short and begun again; a unit
    // that systemd waits to restart, or any other, is (re)started.
    Queries::Bus::get().forget();
    const bool joins = transition(svc) == std::optional<std::string>("starting");
    const bool ok = job(svc, joins ? "StartUnit" : "RestartUnit", unit(), "started", "start");
    // The instance the job left is the one the window must see through to its end.
    started_ = ok ? std::optional<Instance>(instance_of(snapshot_)) : std::nullopt;
    return ok;
}

namespace {
// Whether processes remain in a unit's control group, by the path systemd gave while the unit
// ran: the kernel's own "populated" flag; a group that is gone is empty.
bool control_group_populated(const std::string& group, const std::string& unit) {
    if (group.empty()) return false;
    if (auto events = FileUtils::read_regular_file("/sys/fs/cgroup" + group + "/cgroup.events", 4096))
        return events->find("populated 1") != std::string::npos;
    if (FileUtils::is_directory("/sys/fs/cgroup/unified")) {
        if (auto events = FileUtils::read_regular_file("/sys/fs/cgroup/unified" + group + "/cgroup.events", 4096))
            return events->find("populated 1") != std::string::npos;
    }
    // Without the unified hierarchy, systemd's own list of the unit's processes.
    auto left = Queries::Bus::get().unit_processes(unit);
    return left && !left->empty();
}
}  // namespace

bool Systemd::stop(Base& svc, const std::string& type) {
    const std::string name = service_ + "." + type;
    Queries::Bus::get().forget();
    PropertyMap before = Queries::get_service_info_via_systemd(name);
    const std::string kill_mode = before["KillMode"];
    // What systemd ends by itself: the whole group, or (process, none) less; what it leaves
    // of the daemon is ours to end, what it leaves on purpose (login sessions, cron's jobs)
    // is never touched.
    const bool ends_group = kill_mode.empty() || kill_mode == "control-group" || kill_mode == "mixed";
    const std::string group = before["ControlGroup"];
    std::vector<Kill::Target> main;
    if (auto pid = Number::parse_pid(before["MainPID"])) main = Kill::identify({*pid});
    // Without a main process (a unit generated from an init script), systemd leaves the
    // daemon to the script's stop, which cannot find it without its pidfile: the daemon as
    // its identity shows it is what must be gone afterwards.
    const auto daemon = main.empty() && kill_mode != "control-group" ? daemon_before_stop(svc)
                                                                   : std::vector<Kill::Target>{};
    const bool job_ok = job(svc, "StopUnit", name, "stopped", "stop");
    PropertyMap props = Queries::get_service_info_via_systemd(name);
    const std::string state = props["ActiveState"];
    // Still running (the stop was refused, or the unit came back at once): what the job said.
    if (state != "inactive" && state != "failed") return job_ok;
    if (end_what_the_stop_left(svc, daemon, Base::STOP_CONFIRM_SECONDS))
        svc.debug(fmt::format("What the stop of {} left of its daemon was ended.", name));
    for (const auto& t : daemon)
        if (Kill::still_the_same(t)) {
            last_error_ = fmt::format("Process {} of “{}” still runs after systemd stopped {}.", t.pid,
                                      svc.service_name(), name);
            svc.info(last_error_);
            return false;
        }
    // The daemon outlived systemd's stop (KillMode=none, or a main process that left its
    // group's signal): the stop is not done until it is gone.
    if (!main.empty() && Kill::still_the_same(main.front()) && kill_mode != "control-group") {
        const pid_t pid = main.front().pid;
        if (!PidFile::may_signal(pid) || !Queries::pid_is_in_unit(pid, name)) {
            last_error_ = fmt::format("The main process {} of {} still runs after systemd stopped the unit.", pid, name);
            svc.info(last_error_);
            return false;
        }
        svc.debug(fmt::format("The main process {} of {} outlived systemd's stop; ending it.", pid, name));
        Kill::escalate(main, false, Base::STOP_CONFIRM_SECONDS, std::to_string(pid));
        if (Kill::still_the_same(main.front())) {
            last_error_ = fmt::format("The main process {} of {} still runs after systemd stopped the unit.", pid, name);
            svc.info(last_error_);
            return false;
        }
    }
    if (ends_group && control_group_populated(group, name)) {
        last_error_ = fmt::format("Processes of {} are still running in its control group {} after its stop.", name,
                                  group);
        svc.info(last_error_);
        return false;
    }
    // Nothing is left: the service is stopped, which is what the caller asked for, whatever
    // the unit's own stop command returned; that is worth a warning.
    if (!job_ok || (state == "failed" && (before["ActiveState"] == Queries::ACTIVE ||
                                          before["ActiveState"] == "reloading"))) {
        const std::string why = props["Result"] == "timeout"
                                    ? fmt::format("“{}” did not stop within systemd's stop time-out; systemd ended it.",
                                                  svc.service_name())
                                    : fmt::format("The stop command of “{}” failed, but nothing of it is left running: {}",
                                                  svc.service_name(),
                                                  job_ok ? Queries::failed_unit_text(name, "Stopping", props["Result"])
                                                         : last_error_);
        svc.warn(why);
    }
    last_error_.clear();
    return true;
}

std::optional<bool> Systemd::reload(Base& svc) {
    Queries::Bus::get().forget();
    const PropertyMap* before = Queries::Bus::get().unit_properties(unit());
    reloaded_ = before ? std::optional<Instance>(instance_of(*before)) : std::nullopt;
    return job(svc, "ReloadUnit", unit(), "reloaded", "reload");
}

std::optional<bool> Systemd::started_by_a_job_after(Base&, const Time::Moment& asked) {
    const PropertyMap* props = Queries::Bus::get().unit_properties(unit());
    if (!props) return false;
    auto get = [&](const char* key) { return props->contains(key) ? props->at(key) : std::string(); };
    const auto entered = Number::parse<unsigned long long>(get("ActiveEnterTimestampMonotonic"));
    if (get("ActiveState") != Queries::ACTIVE || !entered || *entered == 0) return false;
    const double entered_at = static_cast<double>(*entered) / 1e6;
    if (entered_at <= asked.monotonic) return false;
    // systemd's own restarts count up from the last start a job made: an instance it
    // restarted by itself was no caller's.
    const Instance now = instance_of(*props);
    if (now.restarts.value_or(0) != 0) return false;
    started_ = now;
    job_done_at_ = entered_at;
    return true;
}

std::optional<std::string> Systemd::transition(Base&) {
    const PropertyMap* props = Queries::Bus::get().unit_properties(unit());
    if (!props) return std::nullopt;
    auto get = [&](const char* key) { return props->contains(key) ? props->at(key) : std::string(); };
    // systemd calls a unit waiting to be restarted "activating" too; its sub-state tells.
    if (get("ActiveState") == "activating") return get("SubState") == "auto-restart" ? "restarting" : "starting";
    if (get("ActiveState") == "deactivating") return std::string("stopping");
    return std::nullopt;
}

std::optional<std::string> Systemd::reloaded_instance_lost(Base&) {
    if (!reloaded_) return std::nullopt;
    const PropertyMap* props = Queries::Bus::get().unit_properties(unit());
    if (!props) return std::nullopt;
    auto get = [&](const char* key) { return props->contains(key) ? props->at(key) : std::string(); };
    const Instance now = instance_of(*props);
    const std::string how = Queries::main_process_end_text(*props);
    if (get("ActiveState") != Queries::ACTIVE && get("ActiveState") != "reloading")
        return fmt::format("systemd calls {} {} ({}){}", unit(), get("ActiveState"), get("SubState"),
                           how.empty() ? "" : "; " + how);
    if (now.restarts && reloaded_->restarts && *now.restarts > *reloaded_->restarts)
        return Queries::automatic_restarts_text(unit(), *props, *now.restarts - *reloaded_->restarts);
    if (!reloaded_->invocation.empty() && now.invocation != reloaded_->invocation)
        return fmt::format("{} runs under another invocation than the one reloaded", unit());
    if (Number::parse_pid(reloaded_->main_pid) && now.main_pid != reloaded_->main_pid)
        return fmt::format("its main process {} is gone{}", reloaded_->main_pid, how.empty() ? "" : "; " + how);
    return std::nullopt;
}

std::string Systemd::failure_reason(Base&) {
    Queries::Bus::get().forget();
    const PropertyMap* props = Queries::Bus::get().unit_properties(unit());
    if (!props) return "";
    auto get = [&](const char* key) { return props->contains(key) ? props->at(key) : std::string(); };
    std::vector<std::string> parts;
    if (const std::string result = get("Result"); !result.empty() && result != "success")
        parts.push_back(fmt::format("systemd's result for {}: {}", unit(), result));
    if (const std::string how = Queries::main_process_end_text(*props); !how.empty() && get("ExecMainStatus") != "0")
        parts.push_back(how);
    if (const auto restarts = Number::parse<long>(get("NRestarts"), 1))
        parts.push_back(fmt::format("systemd restarted it {} time{} by itself", *restarts, *restarts == 1 ? "" : "s"));
    if (parts.empty()) return "";
    return fmt::format("{}.", fmt::join(parts, "; "));
}

std::optional<bool> Systemd::restart_attempt(Base& svc, int attempt) {
    auto rules = svc.doomed_rules();
    bool has_rules = rules.is_object() ? !rules.empty() : (rules.is_array() && !rules.empty());
    if (attempt == 1 && has_rules) {
        svc.debug(fmt::format("Terminating leftover processes of “{}” before the next attempt.", service_));
        RestartSrv::doomedprocess(rules, svc.verbose() != 0);
    }
    return true;
}

std::string Systemd::live_state() {
    return Queries::get_service_info_via_systemd(service_)["ActiveState"];
}

bool Systemd::_systemctl_is_active(const std::string& name) {
    // What `systemctl is-active` counts as active.
    std::string state = Queries::get_service_info_via_systemd(name)["ActiveState"];
    return state == Queries::ACTIVE || state == "reloading";
}

bool Systemd::is_active(Base& svc) {
    auto it = snapshot_.find("ActiveState");
    const bool was_active = it != snapshot_.end() && it->second == Queries::ACTIVE;
    bool active = _systemctl_is_active(service_);
    for (int i = 0; i < 2 && active != was_active; ++i) {
        Time::sleep_for(g_confirm_pause);
        Queries::Bus::get().forget();
        active = _systemctl_is_active(service_);
        if (!active) {
            svc.debug(fmt::format("“{}” is not active.", service_));
            break;
        }
    }
    svc.debug(fmt::format("“{}” is {}active.", service_, active ? "" : "not "));
    return active;
}

std::optional<bool> Systemd::has_something_to_stop(Base&) {
    const PropertyMap* props = Queries::Bus::get().unit_properties(unit());
    if (!props) return false;
    auto get = [&](const char* key) { return props->contains(key) ? props->at(key) : std::string(); };
    const std::string state = get("ActiveState");
    // A queued start job counts too: a moment later the unit is starting.
    return state == Queries::ACTIVE || state == "activating" || state == "reloading" ||
           state == "deactivating" || !get("Job").empty();
}

std::optional<std::string> Systemd::start_refusal(Base&) {
    Queries::Bus::get().forget();
    const PropertyMap* props = Queries::Bus::get().unit_properties(unit());
    if (props && props->contains("LoadState") && props->at("LoadState") == "masked")
        return fmt::format("Unit {} is masked.", unit());
    return std::nullopt;
}

StartEvidence Systemd::start_evidence(Base&, bool status_up, double waited) {
    StartEvidence e;
    e.status_up = status_up;
    // Without a job of this run (a graceful restart), the wait's own age.
    e.since_started = job_done_at_ > 0 ? Time::monotonic_seconds_f() - job_done_at_ : waited;
    const PropertyMap* props = Queries::Bus::get().unit_properties(unit());
    if (!props) return e;
    auto get = [&](const char* key) { return props->contains(key) ? props->at(key) : std::string(); };
    e.active_state = get("ActiveState");
    // What is seen now is the unit's state from here on: a later status must not take the
    // change since the job for one still to be confirmed.
    if (!e.active_state.empty()) snapshot_["ActiveState"] = e.active_state;
    e.type = get("Type");
    e.result = get("Result");
    if (started_) {
        const Instance now = instance_of(*props);
        const long restarts = now.restarts && started_->restarts ? *now.restarts - *started_->restarts : 0;
        const bool other_invocation =
            !now.invocation.empty() && !started_->invocation.empty() && now.invocation != started_->invocation;
        if (restarts > 0 || other_invocation) {
            e.restarted_by_systemd = true;
            e.why = Queries::automatic_restarts_text(unit(), *props, std::max(restarts, 1L));
        }
    }
    // The main process's own age (time it lived before this call counts); without one, the
    // unit's oldest process: workers may come and go, the unit must not be left empty.
    if (const auto pid = Number::parse_pid(get("MainPID"))) {
        e.main_age = ProcFs::age_seconds(*pid);
    } else if (e.type != Queries::TYPE_BY_ACTIVE_STATE && e.active_state == Queries::ACTIVE) {
        if (auto processes = Queries::Bus::get().unit_processes(unit()))
            for (const auto& p : *processes)
                if (auto age = ProcFs::age_seconds(p.pid); age && (!e.main_age || *age > *e.main_age))
                    e.main_age = age;
    }
    return e;
}

std::optional<std::string> Systemd::status_helper(Base& svc) {
    RestartSrv::CheckServiceArgs args;
    args.service = svc.service_name();
    args.user = svc.processowner();
    if (snapshot_["Type"] == Queries::TYPE_BY_ACTIVE_STATE) {
        args.pidfile = svc.pidfile();
        args.program_regex = svc.pid_exe();
        return RestartSrv::check_service(args);
    }
    if (!is_active(svc)) return std::string();
    args.check_method = RestartSrv::LABEL_SYSTEMD;
    if (svc.has_single_pid()) {
        if (auto pid = Queries::get_pid_via_systemd(service_)) {
            args.pid = *pid;
            return RestartSrv::check_service(args);
        }
    }
    std::string out;
    for (const auto& pid : Queries::get_pids_via_systemd(service_)) {
        args.pid = pid;
        std::string one = RestartSrv::check_service(args);
        if (!one.empty()) out += "\n" + one;
    }
    return out;
}

}  // namespace Vexlan::ServiceManager::Manager
