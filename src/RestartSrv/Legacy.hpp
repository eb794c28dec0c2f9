#pragma once
// The older helper library that the service object and the backends rely on.
#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <functional>
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

// 1 when the service is not installed (_is_installed) or its legacy disable marker exists.
int is_service_disabled(const std::string& service);
std::string legacy_disable_marker(const std::string& service);
// The legacy installed test: the system log daemons need a unit or an init script (and
// rsyslog its program); every other service counts as installed.
int _is_installed(const std::string& service);

// The path of the mysqladmin program, or nothing.
std::optional<std::string> find_mysqladmin();

// Forwarders to the user-switching helpers.
void setuids(const std::string& user);
int runasuser(const std::string& user, const std::function<void()>& code);

bool _has_proc();
// Raises an error with the message.
[[noreturn]] void _croak(const std::string& message);

}  // namespace Vexlan::RestartSrv
