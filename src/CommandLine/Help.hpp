#pragma once
#include <string>
#include <vector>

namespace Vexlan::RestartSrv::Help {

// Prints the usage of the service command, with the service's own actions when it has
// any; returns the exit status (0).
int usage(const std::string& service, const std::vector<std::string>& custom_actions = {});

}  // namespace Vexlan::RestartSrv::Help
