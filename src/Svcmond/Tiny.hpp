#pragma once
// Suspension of the service monitor's handling of one service while it is stopped on
// purpose, and the monitor-wide suspension marker.
#include <ctime>
#include <map>
#include <optional>
#include <string>

namespace Vexlan::Svcmond::Tiny {

inline constexpr int DEFAULT_SUSPENSION_DELAY = 70;
inline constexpr int MAX_SUSPENSION_DELAY = 3600;

// Leaves `service` alone until now + delay (70 s when absent or 0, at most 3600 s). The
// file is replaced whole (a reader never sees half of it), mode 0600, in a 0700 directory
// that must be a real directory. True when written; nothing when the directory cannot be
// made. Throws for a name with a "/".
std::optional<bool> suspend_service(const std::string& service, int delay = 0, std::optional<time_t> now = std::nullopt);
// 1 while suspended (now before the expiry), 0 once expired, nothing when no expiry is known.
std::optional<int> is_service_suspended(const std::optional<std::map<std::string, time_t>>& suspensions,
                                        const std::string& service);
// Service -> expiry of every suspension file (names starting with "." skipped); nothing
// when there is none.
std::optional<std::map<std::string, time_t>> load_service_suspensions();
bool resume_service(const std::string& service);
std::string suspension_file(const std::string& service);

}  // namespace Vexlan::Svcmond::Tiny

namespace Vexlan::Svcmond::Tiny::Suspended {
// 1 when the whole monitor is suspended (its marker exists).
int is_suspended();
}  // namespace Vexlan::Svcmond::Tiny::Suspended
