#pragma once
#include <string>

namespace Vexlan::Services::Enabled {

// 1 enabled, 0 disabled, -1 no decision (callers treat it as enabled). A service is
// disabled by its disable file in the panel's disable directory.
int is_enabled(const std::string& service);
std::string disable_file(const std::string& service);

}  // namespace Vexlan::Services::Enabled
