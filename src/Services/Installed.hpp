#pragma once
// Whether a service's software is on this server: a service that is not installed counts
// as disabled, so the program refuses to start it instead of failing in the init system.
#include <optional>
#include <string>
#include <vector>

namespace Vexlan::Services::Installed {

// 1 when installed; nothing when the name is refused or no test says yes.
std::optional<int> service_is_installed(const std::string& service);
// The service name as its test is named ("exim-altport" -> "exim_altport").
std::string code_name(const std::string& service);
// True when the service has a configuration file of the service monitor.
bool has_monitor_file(const std::string& service);
std::string monitor_file(const std::string& service);

}  // namespace Vexlan::Services::Installed

namespace Vexlan::Services::AlwaysInstalled {
// Code names that count as installed without a test: the panel's own daemons.
const std::vector<std::string>& list();
}  // namespace Vexlan::Services::AlwaysInstalled

namespace Vexlan::FindBin {
// The first of `dirs` (the standard program directories when empty) holding an executable
// `program`; remembered per program for the process.
std::optional<std::string> findbin(const std::string& program, const std::vector<std::string>& dirs = {});
void clear_cache();
}  // namespace Vexlan::FindBin
