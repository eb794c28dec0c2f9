#pragma once
// RAII guards that restore process-wide state when a routine returns.
#include <signal.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace Vexlan {

// Keeps the caller's errno intact across a call.
class ErrnoGuard {
public:
    ErrnoGuard() : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard&) = delete;
    ErrnoGuard& operator=(const ErrnoGuard&) = delete;

private:
    int saved_;
};

// Sets a signal's disposition for the guard's life and restores the previous one.
class SignalDispositionGuard {
public:
    SignalDispositionGuard(int signo, void (*handler)(int));
    ~SignalDispositionGuard();
    SignalDispositionGuard(const SignalDispositionGuard&) = delete;
    SignalDispositionGuard& operator=(const SignalDispositionGuard&) = delete;

private:
    int signo_;
    struct sigaction previous_ {};
    bool installed_ = false;
};

// Sets or unsets environment variables for the guard's life and restores them.
class EnvGuard {
public:
    EnvGuard() = default;
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    void set(const std::string& name, const std::string& value);
    void unset(const std::string& name);

private:
    void remember(const std::string& name);
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The wait status of the last child a routine waited for, the one process-wide value
// that the runner front ends leave for their callers ($? of a shell).
int last_child_status();
void set_last_child_status(int status);

// Saves the last child status and restores it on return.
class LastChildStatusGuard {
public:
    LastChildStatusGuard() : saved_(last_child_status()) {}
    ~LastChildStatusGuard() { set_last_child_status(saved_); }
    LastChildStatusGuard(const LastChildStatusGuard&) = delete;
    LastChildStatusGuard& operator=(const LastChildStatusGuard&) = delete;

private:
    int saved_;
};

}  // namespace Vexlan
