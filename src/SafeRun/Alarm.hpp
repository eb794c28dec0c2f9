#pragma once
// A scoped alarm: arms SIGALRM for its life and, when it ends, restores the previous
// handler and re-arms an outer alarm with what it had left.
#include <signal.h>

namespace Vexlan {

class Alarm {
public:
    explicit Alarm(double length = 0, void (*action)(int) = nullptr);
    ~Alarm();
    Alarm(const Alarm&) = delete;
    Alarm& operator=(const Alarm&) = delete;

    // Re-arms; returns the seconds the previously pending alarm had left.
    double set(double length);
    double get_length() const { return length_; }
    double get_remaining() const;

private:
    double length_ = 0;
    double start_ = 0;            // monotonic seconds when set
    double creation_time_ = 0;
    double previous_left_ = 0;
    struct sigaction previous_action_ {};
    bool replaced_action_ = false;
};

}  // namespace Vexlan
