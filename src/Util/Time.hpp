#pragma once
#include <string>

namespace Vexlan::Time {

// "2026-12-08 16:31:15 +0000": local time with the server's UTC offset.
std::string localtime2timestamp();

// Seconds on the monotonic clock (whole seconds and fractional).
long monotonic_seconds();
double monotonic_seconds_f();
// The moment this program was asked to act, fixed by the first call (the entry makes it at
// once): on the boot-time clock, which /proc's process start times count, and on the
// monotonic clock, which systemd's …TimestampMonotonic properties count. Never a process's
// own start time: a shell that execs the program carries its fork time.
struct Moment {
    double boottime = 0;
    double monotonic = 0;
};
const Moment& request_time();
// Seconds on the boot-time clock (counts suspend too, as /proc's start times do).
double boottime_seconds_f();
// Sleeps `seconds` (fractional), resuming after signals.
void sleep_for(double seconds);

}  // namespace Vexlan::Time
