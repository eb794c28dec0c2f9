#pragma once
#include <optional>
#include <string>

#include "ServiceManager/Manager/Backend.hpp"

namespace Vexlan::ServiceManager::Manager {

// Drives a service through its init script. This is the plain form of the backend: it
// runs "<script> start|stop|reload" with the output in the service's startup log and
// judges by the exit status; the panel's own daemons, pidfile stops and leftover rules
// come with the full init.d backend.
class Initd : public Backend {
public:
    Initd(std::string service, bool executed_by_systemd);

    bool start(Base& svc) override;
    bool stop(Base& svc) override;
    std::optional<bool> reload(Base& svc) override;
    std::optional<bool> restart(Base& svc) override;
    bool this_process_was_executed_by_systemd() const override { return executed_by_systemd_; }
    std::string service() const override { return service_; }
    const std::optional<std::string>& init_script();

private:
    std::optional<int> run_script(Base& svc, const std::string& action, bool wipe_log);
    std::string service_;
    bool executed_by_systemd_;
    bool script_looked_up_ = false;
    std::optional<std::string> init_script_;
};

}  // namespace Vexlan::ServiceManager::Manager
