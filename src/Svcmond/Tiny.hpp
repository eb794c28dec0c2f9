#pragma once
#include <ctime>
#include <optional>
#include <string>

namespace Vexlan::Svcmond::Tiny {

inline constexpr int DEFAULT_SUSPENSION_DELAY = 70;
inline constexpr int MAX_SUSPENSION_DELAY = 3600;

// Asks the service monitor to leave `service` alone until now + delay (70 s by default,
// at most 3600 s). False when the suspension could not be recorded.
bool suspend_service(const std::string& service, int delay = 0, std::optional<time_t> now = std::nullopt);
std::string suspension_file(const std::string& service);

}  // namespace Vexlan::Svcmond::Tiny
