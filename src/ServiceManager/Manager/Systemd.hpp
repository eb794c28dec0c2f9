#pragma once
#include "ServiceManager/Manager/Backend.hpp"

namespace Vexlan::ServiceManager::Manager {

// Drives a unit through systemd's job API and judges it by systemd's own answers.
class Systemd : public Backend {
public:
    // Throws when this process was started by PID 1: systemd must not be asked to act on
    // a unit from inside that unit's own commands.
    Systemd(std::string service, PropertyMap snapshot);

    bool start(Base& svc) override;
    bool stop(Base& svc) override { return stop(svc, "service"); }
    bool stop(Base& svc, const std::string& type);
    std::optional<bool> reload(Base& svc) override;
    std::optional<bool> restart_attempt(Base& svc, int attempt) override;
    std::optional<std::string> status_helper(Base& svc) override;
    std::optional<PropertyMap> service_via_systemd() const override { return snapshot_; }
    bool this_process_was_executed_by_systemd() const override { return false; }
    std::string service() const override { return service_; }
    std::optional<bool> has_something_to_stop(Base& svc) override;
    StartEvidence start_evidence(Base& svc, bool status_up, double waited) override;
    std::optional<std::string> start_refusal(Base& svc) override;
    std::optional<std::string> reloaded_instance_lost(Base& svc) override;
    std::string failure_reason(Base& svc) override;
    std::optional<std::string> transition(Base& svc) override;
    std::optional<bool> started_by_a_job_after(Base& svc, const Time::Moment& asked) override;

    // Reconciles the snapshot with live answers: an active answer that contradicts the
    // snapshot is confirmed twice more, one second apart.
    bool is_active(Base& svc);
    bool _systemctl_is_active(const std::string& name);

    // Test hook: the pause between confirmations (seconds).
    static void set_confirm_pause_for_testing(double seconds);

private:
    // Runs one job; on failure keeps systemd's reason and logs it.
    // `verb`: the action as the caller asked for it, for what is logged and said of a failure.
    bool job(Base& svc, const std::string& method, const std::string& unit, const char* what,
             const char* verb);
    std::string live_state();
    std::string unit() const { return service_ + ".service"; }
    // What the unit looked like when a job left it: the instance a window watches. systemd
    // restarting it by itself shows as a grown restart count or another invocation.
    struct Instance {
        std::string invocation;
        std::optional<long> restarts;
        std::string main_pid;
    };
    static Instance instance_of(const PropertyMap& props);
    std::string service_;
    PropertyMap snapshot_;
    double job_done_at_ = 0;  // monotonic seconds
    std::optional<Instance> started_;  // left by this run's start job
    std::optional<Instance> reloaded_;  // the instance a reload job was sent to
};

}  // namespace Vexlan::ServiceManager::Manager
