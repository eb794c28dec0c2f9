#include "ServiceManager/Manager/Systemd.hpp"

#include <unistd.h>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "RestartSrv/CheckService.hpp"
#include "RestartSrv/Legacy.hpp"
#include "RestartSrv/Systemd.hpp"
#include "SafeRun/Object.hpp"
#include "ServiceManager/Base.hpp"
#include "Util/Time.hpp"

namespace Vexlan::ServiceManager::Manager {

namespace {
double g_confirm_pause = 1.0;

SafeRun::Object run_systemctl(const std::vector<std::string>& args, std::string* merged = nullptr) {
    SafeRun::Options o;
    o.program = RestartSrv::Systemd::systemctl_binary();
    o.args = args;
    o.keep_env = true;
    if (merged) {
        auto sink = std::make_shared<SafeRun::StringSink>(*merged);
        o.stdout_handle = SafeRun::OutputHandle{std::static_pointer_cast<SafeRun::Sink>(sink)};
        o.stderr_handle = o.stdout_handle;
    }
    return SafeRun::Object(std::move(o));
}
}  // namespace

void Systemd::set_confirm_pause_for_testing(double seconds) { g_confirm_pause = seconds; }

Systemd::Systemd(std::string service, PropertyMap snapshot) : service_(std::move(service)), snapshot_(std::move(snapshot)) {
    if (::getppid() == 1)
        throw Exception::create(Exception::Kinds::Generic, {{"message", "The systemd backend cannot act on “" + service_ +
                                                            "” from a process that systemd started."}});
}

bool Systemd::start(Base& svc) {
    std::string output;
    auto run = run_systemctl({"restart", unit(), "--no-ask-password"}, &output);
    if (run.CHILD_ERROR().value_or(0) != 0) {
        svc.info(fmt::format("The system failed to start “{}”: {}\n{}", svc.service_name(), run.autopsy().value_or(""), output));
        return false;
    }
    if (svc.is_debug_enabled()) svc.info(fmt::format("systemd started “{}”.", svc.service_name()));
    return true;
}

bool Systemd::stop(Base& svc, const std::string& type) {
    auto run = run_systemctl({"stop", service_ + "." + type});
    // A systemctl killed by a signal did not stop anything either: judge the whole status.
    bool ok = run.CHILD_ERROR().value_or(0) == 0;
    svc.debug(ok ? fmt::format("Stopped {} “{}”.", type, service_)
                 : fmt::format("Failed to stop {} “{}” (exit code {}).", type, service_, run.error_code().value_or(0)));
    return ok;
}

std::optional<bool> Systemd::reload(Base& svc) {
    auto run = run_systemctl({"reload", unit()});
    bool ok = run.CHILD_ERROR().value_or(0) == 0;
    svc.debug(ok ? fmt::format("Reloaded “{}”.", service_)
                 : fmt::format("Failed to reload “{}” (exit code {}).", service_, run.error_code().value_or(0)));
    return ok;
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

bool Systemd::_systemctl_is_active(const std::string& name) {
    auto run = run_systemctl({"is-active", "--quiet", name + ".service"});
    return run.CHILD_ERROR().value_or(0) == 0;
}

bool Systemd::is_active(Base& svc) {
    auto it = snapshot_.find("ActiveState");
    const bool was_active = it != snapshot_.end() && it->second == RestartSrv::Systemd::ACTIVE;
    bool active = _systemctl_is_active(service_);
    for (int i = 0; i < 2 && active != was_active; ++i) {
        Time::sleep_for(g_confirm_pause);
        active = _systemctl_is_active(service_);
        if (!active) {
            svc.debug(fmt::format("“{}” is not active.", service_));
            break;
        }
    }
    svc.debug(fmt::format("“{}” is {}active.", service_, active ? "" : "not "));
    return active;
}

std::optional<std::string> Systemd::status_helper(Base& svc) {
    RestartSrv::CheckServiceArgs args;
    args.service = svc.service_name();
    args.user = svc.processowner();
    if (snapshot_["Type"] == RestartSrv::Systemd::TYPE_BY_ACTIVE_STATE) {
        args.pidfile = svc.pidfile();
        return RestartSrv::check_service(args);
    }
    if (!is_active(svc)) return std::string();
    args.check_method = RestartSrv::LABEL_SYSTEMD;
    if (svc.has_single_pid()) {
        if (auto pid = RestartSrv::Systemd::get_pid_via_systemd(service_)) {
            args.pid = *pid;
            return RestartSrv::check_service(args);
        }
    }
    std::string out;
    for (const auto& pid : RestartSrv::Systemd::get_pids_via_systemd(service_)) {
        args.pid = pid;
        std::string one = RestartSrv::check_service(args);
        if (!one.empty()) out += "\n" + one;
    }
    return out;
}

}  // namespace Vexlan::ServiceManager::Manager
