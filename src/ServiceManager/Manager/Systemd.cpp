#include "ServiceManager/Manager/Systemd.hpp"

#include <unistd.h>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Process/ProcFs.hpp"
#include "RestartSrv/CheckService.hpp"
#include "RestartSrv/Legacy.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "ServiceManager/Base.hpp"
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

bool Systemd::job(Base& svc, const std::string& method, const std::string& unit, const char* what) {
    auto outcome = Queries::Bus::get().run_job(method, unit);
    job_done_at_ = Time::monotonic_seconds_f();
    // The unit may have changed in every way; the next questions must see it as it is now.
    snapshot_ = Queries::get_service_info_via_systemd(service_);
    if (outcome.ok) {
        last_error_.clear();
        svc.debug(fmt::format("systemd {} “{}”.", what, unit));
        return true;
    }
    last_error_ = outcome.error;
    svc.info(fmt::format("The system failed to {} “{}”: {}", RestartSrv::Systemd::verb_of(method),
                         svc.service_name(), outcome.error));
    return false;
}

bool Systemd::start(Base& svc) {
    return job(svc, "RestartUnit", unit(), "started");
}

bool Systemd::stop(Base& svc, const std::string& type) {
    const std::string name = service_ + "." + type;
    const std::string before = Queries::get_service_info_via_systemd(name)["ActiveState"];
    if (!job(svc, "StopUnit", name, "stopped")) return false;
    // systemd ends the processes even when the unit's own stop command fails, and calls
    // the job done; a unit that ran and now lies in the failed state failed its stop. (A
    // start that the stop cut short leaves the failed state too; that stop succeeded.)
    PropertyMap props = Queries::get_service_info_via_systemd(name);
    // systemd ran out of patience and killed what was left: the service is stopped all the
    // same, which is what the caller asked for; the time-out is worth a warning.
    if (props["ActiveState"] == "failed" && props["Result"] == "timeout") {
        const auto left = Queries::Bus::get().unit_processes(name);
        if (left && left->empty()) {
            svc.warn(fmt::format("“{}” did not stop within systemd's stop time-out; systemd ended it.",
                                 svc.service_name()));
            return true;
        }
    }
    if (props["ActiveState"] == "failed" && (before == Queries::ACTIVE || before == "reloading")) {
        last_error_ = Queries::failed_unit_text(name, "Stopping", props["Result"]);
        svc.info(fmt::format("The system failed to stop “{}”: {}", svc.service_name(), last_error_));
        return false;
    }
    return true;
}

std::optional<bool> Systemd::reload(Base& svc) {
    return job(svc, "ReloadUnit", unit(), "reloaded");
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
    // The main process's own age: a restart that systemd ran for its own reasons meanwhile
    // (Restart=) starts the window again.
    if (const auto pid = Number::parse_pid(get("MainPID"))) e.main_age = ProcFs::age_seconds(*pid);
    return e;
}

std::optional<std::string> Systemd::status_helper(Base& svc) {
    RestartSrv::CheckServiceArgs args;
    args.service = svc.service_name();
    args.user = svc.processowner();
    if (snapshot_["Type"] == Queries::TYPE_BY_ACTIVE_STATE) {
        args.pidfile = svc.pidfile();
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
