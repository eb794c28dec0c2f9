#pragma once
#include <optional>

namespace Vexlan::IONice {

// Puts this process back into the default I/O scheduling class with the ionice tool:
// 1 or 0 by its exit code, nothing when the tool is missing.
std::optional<int> reset();

}  // namespace Vexlan::IONice
