#pragma once
#include <optional>
#include <string>
#include <vector>

#include "ServiceManager/Manager/Backend.hpp"

namespace Vexlan::ServiceManager::Manager {

// Drives a service without a systemd unit of its own, and every service under PID 1 or with
// --initd: the panel's own daemons through their binary, others through their init script,
// else through the binary. Every command's output goes to the service's startup log.
class Initd : public Backend {
public:
    Initd(std::string service, bool executed_by_systemd, bool wipe_startup_log = true);

    bool start(Base& svc) override;
    bool stop(Base& svc) override;
    std::optional<bool> reload(Base& svc) override;
    std::optional<bool> restart(Base& svc) override;
    bool this_process_was_executed_by_systemd() const override { return executed_by_systemd_; }
    // The init script's own status still says "not running" a while after its start.
    StartEvidence start_evidence(Base& svc, bool status_up, double waited) override;
    static constexpr double START_SETTLE_SECONDS = 5;
    std::string service() const override { return service_; }
    const std::optional<std::string>& init_script();
    bool wipe_startup_log() const { return wipe_startup_log_; }

    // The words given to init scripts.
    static constexpr const char* START_WORD = "start";
    static constexpr const char* STOP_WORD = "stop";
    static constexpr const char* RELOAD_WORD = "reload";
    // Seconds a process named by the pidfile is given to go after TERM.
    static constexpr long PIDFILE_STOP_WAIT = 30;

private:
    // Runs a command through the startup log and waits: its exit status, or nothing when
    // it could not be started. A time-out is logged as the failure it is.
    std::optional<int> run(Base& svc, const std::vector<std::string>& command, bool wipe);
    // The pidfile stop: TERM to the process the pidfile names, once it is confirmed as the
    // service's own. True when it ended.
    bool stop_by_pidfile(Base& svc);
    std::string service_;
    bool executed_by_systemd_;
    bool wipe_startup_log_;
    bool script_looked_up_ = false;
    std::optional<std::string> init_script_;
    double started_at_ = 0;
};

}  // namespace Vexlan::ServiceManager::Manager
