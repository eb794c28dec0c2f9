#include "Util/Time.hpp"

#include <time.h>

#include <cerrno>

namespace Vexlan::Time {

std::string localtime2timestamp() {
    static time_t cached_at = -1;
    static std::string cached;
    time_t now = ::time(nullptr);
    if (now == cached_at) return cached;
    struct tm tm {};
    ::localtime_r(&now, &tm);
    char buf[64];
    ::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm);
    cached_at = now;
    cached = buf;
    return cached;
}

long monotonic_seconds() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

double monotonic_seconds_f() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double boottime_seconds_f() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const Moment& request_time() {
    static const Moment kAsked{boottime_seconds_f(), monotonic_seconds_f()};
    return kAsked;
}

void sleep_for(double seconds) {
    if (seconds <= 0) return;
    struct timespec req {};
    req.tv_sec = static_cast<time_t>(seconds);
    req.tv_nsec = static_cast<long>((seconds - static_cast<double>(req.tv_sec)) * 1e9);
    while (::nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
}

}  // namespace Vexlan::Time
