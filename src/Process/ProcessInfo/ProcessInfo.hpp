#pragma once
#include <sys/types.h>

#include <vector>

namespace Vexlan::ProcessInfo {

// This process and all its ancestors, nearest first.
std::vector<pid_t> get_pid_lineage();

}  // namespace Vexlan::ProcessInfo
