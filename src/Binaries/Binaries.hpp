#pragma once
#include <optional>
#include <string>

namespace Vexlan::Binaries {

// The absolute path of a program: the first of the system program directories that
// holds it. Nothing for an empty name; throws when no directory has it.
std::optional<std::string> path(const std::string& name);

}  // namespace Vexlan::Binaries
