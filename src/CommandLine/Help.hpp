#pragma once
#include <string>
#include <vector>

namespace Vexlan::RestartSrv::Help {

// The usage of the service command, with the service's own actions when it has any.
std::string usage_text(const std::string& service, const std::vector<std::string>& custom_actions = {});

// "restartsrv_base 1.0.0 (commit …)": the commit the build was configured from.
std::string version_text();

}  // namespace Vexlan::RestartSrv::Help
