#pragma once
#include <string>

namespace Vexlan::RestartSrv::Help {

// Prints the usage of the service command; returns the exit status (0).
int usage(const std::string& service);

}  // namespace Vexlan::RestartSrv::Help
