#pragma once
#include <string>

namespace Vexlan::Services::Command {

// 1 when a process command line is not an instance of a service: auxiliary workers,
// start/stop wrappers, the product's own scripts.
int should_ignore_this_command(const std::string& command);

}  // namespace Vexlan::Services::Command
