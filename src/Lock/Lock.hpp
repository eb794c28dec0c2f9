#pragma once
// The per-service restart lock: one invocation at a time acts on a service.
#include <memory>
#include <string>

#include "Util/FileUtils/Flock.hpp"

namespace Vexlan::RestartSrv {

class Lock {
public:
    static constexpr int LOCK_TIMEOUT = 196;
    static constexpr double POLL_INTERVAL = 0.25;

    // Blocks until the lock for `service` is held; throws when the name is invalid, the
    // file cannot be opened or the lock is not obtained within the time-out.
    static std::unique_ptr<Lock> create(const std::string& service);

    // Drops the handle, which unlocks; true. A second call finds no handle.
    bool release();
    bool held() const { return fh_ != nullptr; }
    // True when another call held the lock when this one asked for it: that call may have
    // done, meanwhile, what this one was about to do.
    bool waited() const { return waited_; }
    const std::string& path() const { return path_; }
    int fd() const { return fh_ ? fh_->fd() : -1; }

    // Test-only: shorten the time-out (seconds) in-process; 0 restores it.
    static void set_timeout_for_testing(int seconds);

private:
    Lock(std::string path, std::unique_ptr<FileUtils::Flock> fh, bool waited)
        : path_(std::move(path)), fh_(std::move(fh)), waited_(waited) {}
    std::string path_;
    std::unique_ptr<FileUtils::Flock> fh_;
    bool waited_ = false;
};

// LOCK_BASE/<service>; throws on an invalid service name before touching anything.
std::string get_run_lock_file_for_service(const std::string& service);
// Polls for an exclusive lock until `timeout` whole seconds have passed.
// `waited` (when given) is set when the first attempt found the lock held.
bool wait_for_ex_lock(FileUtils::Flock& handle, int timeout, bool* waited = nullptr);

}  // namespace Vexlan::RestartSrv
