#pragma once
// Resource limits of this process, for the daemons it starts. Every setter returns 1, or
// 0 after one logged warning that lists every failure; none raises.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Vexlan::Rlimit {

// No limit: 2^64 - 1 (the C library's RLIM_INFINITY, a macro, cannot be named here).
inline constexpr uint64_t UNLIMITED = UINT64_MAX;
// The two resources that bound a process's memory.
const std::vector<std::string>& memory_resources();

// Sets soft and hard limit of each resource to `limit` (default: the server's memory
// limit), and the core-file limit to `limit` when core files are allowed, else 0. A limit
// written as a number beyond 2^64 - 1 is clamped to unlimited with a warning.
int set_rlimit(std::optional<std::string> limit = std::nullopt, std::optional<std::vector<std::string>> resources = std::nullopt);
int set_rlimit_to_infinity();
// Raises each memory limit to at least `min`.
int set_min_rlimit(uint64_t min);
// Resource -> (soft, hard) of the memory resources and the core-file resource.
std::map<std::string, std::pair<uint64_t, uint64_t>> get_current_rlimits();
int restore_rlimits(const std::map<std::string, std::pair<uint64_t, uint64_t>>& limits);
// The open-files limit at the kernel's maximum.
int set_open_files_to_maximum();

// The server's memory limit in bytes (0 for none) and whether core files are allowed.
std::pair<uint64_t, bool> _get_server_setting_or_default();

}  // namespace Vexlan::Rlimit

namespace Vexlan::Maxmem {
// 4096 MiB for every 10,000 user domains started (4096 up to 9,999 domains).
uint64_t minimum();
inline uint64_t default_() { return minimum(); }
}  // namespace Vexlan::Maxmem
