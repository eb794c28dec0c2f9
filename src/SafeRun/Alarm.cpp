#include "SafeRun/Alarm.hpp"

#include <sys/time.h>
#include <unistd.h>

#include <cmath>

#include "Util/Time.hpp"

namespace Vexlan {

namespace {
double arm(double seconds) {
    struct itimerval value {}, old {};
    value.it_value.tv_sec = static_cast<time_t>(seconds);
    value.it_value.tv_usec = static_cast<suseconds_t>((seconds - std::floor(seconds)) * 1e6);
    ::setitimer(ITIMER_REAL, &value, &old);
    return static_cast<double>(old.it_value.tv_sec) + static_cast<double>(old.it_value.tv_usec) / 1e6;
}
}  // namespace

Alarm::Alarm(double length, void (*action)(int)) {
    previous_left_ = set(length);
    creation_time_ = start_;
    struct sigaction current {};
    ::sigaction(SIGALRM, nullptr, &previous_action_);
    if (action) {
        current.sa_handler = action;
        sigemptyset(&current.sa_mask);
        ::sigaction(SIGALRM, &current, nullptr);
        replaced_action_ = true;
    }
}

double Alarm::set(double length) {
    length_ = length;
    start_ = Time::monotonic_seconds_f();
    return arm(length);
}

double Alarm::get_remaining() const { return length_ - std::floor(Time::monotonic_seconds_f() - start_); }

Alarm::~Alarm() {
    if (replaced_action_) ::sigaction(SIGALRM, &previous_action_, nullptr);
    arm(0);
    if (previous_left_ > 0) {
        double elapsed = std::floor(Time::monotonic_seconds_f() - creation_time_);
        // The outer alarm gets what was left of it, rounded up: never a second short.
        double left = std::ceil(previous_left_ - elapsed);
        arm(left < 1 ? 1 : left);
    }
}

}  // namespace Vexlan
