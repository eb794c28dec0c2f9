#pragma once

namespace Vexlan::LogCheck {

// Throws an error naming the program and the panel's log directory when that directory
// does not exist: a daemon started now could not log.
void logcheck();

}  // namespace Vexlan::LogCheck
