#pragma once
#include <optional>
#include <string>

namespace Vexlan::Pkgr {

// The installed version of a package, or nothing when it is not installed.
std::optional<std::string> get_package_version(const std::string& package);

}  // namespace Vexlan::Pkgr
