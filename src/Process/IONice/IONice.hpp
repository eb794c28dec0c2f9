#pragma once
// The I/O scheduling class and level of this process, set with the ionice tool.
#include <optional>
#include <string>

namespace Vexlan::IONice {

// Class 0-3 (or none, realtime, best-effort, idle) and level 0-7: 1 when the tool exited 0,
// 0 when it failed, nothing for invalid arguments (a warning in the log) or a missing tool.
// An unprivileged process keeps its class and changes only its level.
std::optional<int> ionice(const std::string& io_class, const std::string& class_data);
// Back to the default class.
std::optional<int> reset();
// The tool's report for this process.
std::optional<std::string> get_ionice();

}  // namespace Vexlan::IONice
