#include "Lock/Lock.hpp"

#include <fcntl.h>

#include "Exception/Exception.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Time.hpp"
#include "Util/Validate.hpp"

namespace Vexlan::RestartSrv {

namespace {
int g_lock_timeout = Lock::LOCK_TIMEOUT;
}

void Lock::set_timeout_for_testing(int seconds) { g_lock_timeout = seconds > 0 ? seconds : LOCK_TIMEOUT; }

std::string get_run_lock_file_for_service(const std::string& service) {
    if (!Validate::is_valid_service_name(service))
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“" + service + "” is not a valid service name."}});
    return Paths::get(Paths::Key::LockBase) + "/" + service;
}

bool wait_for_ex_lock(FileUtils::Flock& handle, int timeout, bool* waited) {
    // Whole seconds on the monotonic clock: a clock change cannot stretch or cut the wait.
    const long deadline = Time::monotonic_seconds() + timeout;
    if (waited) *waited = false;
    while (Time::monotonic_seconds() < deadline) {
        if (FileUtils::Flock::flock(handle, {"EX", "NB"})) return true;
        if (waited) *waited = true;
        Time::sleep_for(Lock::POLL_INTERVAL);
    }
    return false;
}

std::unique_ptr<Lock> Lock::create(const std::string& service) {
    if (service.empty()) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "A restart lock needs a service name."}});
    std::string path = get_run_lock_file_for_service(service);
    // A lock file another user can open is a lock that user can hold: never used.
    UniqueFd fd;
    if (FileUtils::ensure_owned_directory(Paths::get(Paths::Key::LockBase), 0700))
        fd = FileUtils::open_private_file(path, O_WRONLY | O_APPEND | O_CREAT, true);
    if (!fd)
        throw Exception::create(Exception::Kinds::IO::FileOpenError,
                                {{"path", path}, {"mode", "append"}, {"error", FileUtils::describe_open_error(errno)}});
    auto fh = std::make_unique<FileUtils::Flock>(std::move(fd), path);
    bool waited = false;
    if (!wait_for_ex_lock(*fh, g_lock_timeout, &waited))
        throw Exception::create(Exception::Kinds::LockNotObtained, {{"path", path}, {"service", service}, {"timeout", g_lock_timeout}});
    return std::unique_ptr<Lock>(new Lock(path, std::move(fh), waited));
}

bool Lock::release() {
    fh_.reset();
    return true;
}

}  // namespace Vexlan::RestartSrv
