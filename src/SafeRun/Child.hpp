#pragma once
// The one owner of a child process: whatever path leaves the scope that started it (an
// exception included), the child is ended (TERM, a grace time, KILL) and reaped, unless
// it was waited for or released on purpose.
#include <sys/types.h>

#include <optional>

namespace Vexlan::SafeRun {

class Child {
public:
    Child() = default;
    // `leads_group`: the child made itself the leader of its own process group, so ending it
    // ends what it started too (a daemon that left for a session of its own is untouched).
    explicit Child(pid_t pid, bool leads_group = false) : pid_(pid), leads_group_(leads_group) {}
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !status_; }
    // The wait status once reaped.
    std::optional<int> status() const { return status_; }

    // Waits for the end; with a time-out, nullopt when the child still runs after it.
    std::optional<int> wait(std::optional<double> timeout = std::nullopt);
    // Reaps it if it has ended, without waiting.
    std::optional<int> poll();
    // Ends it (and its group): TERM, up to `grace` seconds, KILL; reaps it; its wait status.
    int end(double grace = 1);
    // Gives the child up: nothing is done to it at the end of the owner.
    pid_t release();

private:
    void signal(int signo) const;
    bool has_exited_within(double timeout) const;
    pid_t pid_ = 0;
    bool leads_group_ = false;
    std::optional<int> status_;
};

}  // namespace Vexlan::SafeRun
