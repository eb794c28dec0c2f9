#pragma once
// A handle on one live process that notices when the process ends or its pid is reused.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Vexlan::Proc {

class PID {
public:
    // Throws InvalidParameter for an empty, zero or non-numeric pid and Proc::Ended when
    // the process does not exist.
    explicit PID(const std::string& pid);
    explicit PID(pid_t pid) : PID(std::to_string(pid)) {}

    pid_t pid() const { return pid_; }
    uid_t uid();
    long ctime() const { return ctime_; }
    // 1 while this very process runs: same /proc entry change time and start time, and
    // not a zombie (a zombie has exited; only its parent's wait is pending).
    int is_running() const;
    long elapsed_time() const;
    char state() const;
    std::vector<std::string> cmdline();

private:
    [[noreturn]] void ended() const;
    pid_t pid_ = 0;
    long ctime_ = 0;
    std::optional<unsigned long long> start_time_;
    std::optional<uid_t> uid_;
    std::optional<std::vector<std::string>> cmdline_;
};

}  // namespace Vexlan::Proc
