#pragma once
// The interface both init-system backends implement. Optional operations return an
// empty optional when the backend does not provide them.
#include <optional>
#include <string>

#include "Systemd/PropertyMap.hpp"
#include "ServiceManager/StartVerdict.hpp"
#include "Util/Time.hpp"

namespace Vexlan::ServiceManager {
class Base;
}

namespace Vexlan::ServiceManager::Manager {

using PropertyMap = RestartSrv::Systemd::PropertyMap;

class Backend {
public:
    virtual ~Backend() = default;

    virtual bool start(Base& svc) = 0;
    virtual bool stop(Base& svc) = 0;
    virtual std::optional<bool> reload(Base&) { return std::nullopt; }
    virtual std::optional<bool> restart(Base&) { return std::nullopt; }
    virtual std::optional<bool> restart_attempt(Base&, int) { return std::nullopt; }
    virtual std::optional<std::string> status_helper(Base&) { return std::nullopt; }
    virtual std::optional<bool> check(Base&, const std::string&) { return std::nullopt; }
    // A liveness hook for is_up; neither backend provides one.
    virtual std::optional<bool> is_up_hook(Base&, const std::string&) { return std::nullopt; }
    virtual std::optional<PropertyMap> service_via_systemd() const { return std::nullopt; }
    virtual bool this_process_was_executed_by_systemd() const = 0;
    virtual std::string service() const = 0;

    // True when the init system is still working on the service (starting, reloading,
    // stopping) or runs it: a stop then has something to stop even when no status says up.
    virtual std::optional<bool> has_something_to_stop(Base&) { return std::nullopt; }
    // What the init system knows, right now, about a start it was asked for: the evidence
    // the start verdict is judged from (`status_up` is the status check's fresh answer,
    // `waited` the seconds since the wait for it began).
    virtual StartEvidence start_evidence(Base&, bool status_up, double waited) {
        StartEvidence e;
        e.status_up = status_up;
        e.since_started = waited;
        return e;
    }
    // Whether the instance running now was started by a job after `asked` (not by the
    // init system's own restart), and if so takes it as the instance a start window then
    // watches; nothing when the backend cannot tell (the caller asks /proc).
    virtual std::optional<bool> started_by_a_job_after(Base&, const Time::Moment&) { return std::nullopt; }
    // Where the init system is taking a service that is not up: "starting" (its start job
    // runs), "restarting" (it waits to restart it by itself) or "stopping"; nothing when it
    // is neither.
    virtual std::optional<std::string> transition(Base&) { return std::nullopt; }
    // Why the instance a reload was sent to is gone (systemd restarted it, its main process
    // changed, the unit failed); nothing while it runs on.
    virtual std::optional<std::string> reloaded_instance_lost(Base&) { return std::nullopt; }
    // Why the init system would refuse to start the service (a masked unit), asked before
    // anything is stopped; nothing when it would start it.
    virtual std::optional<std::string> start_refusal(Base&) { return std::nullopt; }
    // What the init system knows of why the service is not running as asked (its result,
    // how its main process ended), looked up afresh; empty when it knows nothing.
    virtual std::string failure_reason(Base&) { return ""; }
    // What the init system said about the last action that failed (empty when none did).
    const std::string& last_error() const { return last_error_; }
    void note_failure(std::string reason) { last_error_ = std::move(reason); }

protected:
    std::string last_error_;
};

}  // namespace Vexlan::ServiceManager::Manager
