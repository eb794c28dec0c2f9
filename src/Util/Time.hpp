#pragma once
#include <string>

namespace Vexlan::Time {

// "2026-12-08 16:31:15 +0000": local time with the server's UTC offset.
std::string localtime2timestamp();

// Seconds on the monotonic clock (whole seconds and fractional).
long monotonic_seconds();
double monotonic_seconds_f();
// Sleeps `seconds` (fractional), resuming after signals.
void sleep_for(double seconds);

}  // namespace Vexlan::Time
