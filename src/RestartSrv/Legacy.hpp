#pragma once
// The older helper library that the service object and the backends rely on.
#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Vexlan::RestartSrv {

inline constexpr int RESTART = 1;
inline constexpr int STOP = -1;
inline constexpr int RELOAD = -2;

// Sets PATH to the fixed search directories that exist.
void setuppath();
const std::vector<std::string>& search_path_dirs();

// Terminates the processes a service's doomed rules name (a list of program names, or
// {"pattern": "..."}), never this process or its ancestors. 1 when something was ended.
int doomedprocess(const nlohmann::json& rules, bool verbose, double wait_time = 0,
                  const std::optional<std::vector<std::string>>& allowed_owners = std::nullopt);

// 1 when the service's legacy disable marker file exists.
int is_service_disabled(const std::string& service);
std::string legacy_disable_marker(const std::string& service);

bool _has_proc();

}  // namespace Vexlan::RestartSrv
