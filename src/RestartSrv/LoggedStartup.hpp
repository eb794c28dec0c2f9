#pragma once
// Starts a service's command with its output in the service's startup log: detached as a
// daemon (proving that exec succeeded), or waiting for it to finish (an init script).
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "Util/UniqueFd.hpp"

namespace Vexlan::RestartSrv {

struct StartupOptions {
    // Wait for the command to end (its wait status in the last child status), or start it
    // detached and return its pid.
    bool wait = false;
    // How long a waited-for command may run before it (and what it started in its process
    // group) is ended; 0 = no limit.
    double timeout = 0;
};

// The time-out of waited-for startup commands (init scripts), seconds: the main
// configuration's TIMEOUT_KEY, else 300.
double startup_command_timeout();
inline constexpr const char* TIMEOUT_KEY = "restartsrv_startup_command_timeout";
// Test-only: another time-out (0 restores the default).
void set_startup_command_timeout_for_testing(double seconds);

// Runs `command` (program, arguments...) for `service`. In wait mode: true when the command
// ran (its status in the last child status: exit code << 8, or (128 + signal) << 8 when it
// was killed), nothing when the program is not runnable (status 512). In daemon mode: the
// daemon's pid; throws ProcessFailed::Exec when exec failed. Under PID 1, for a service with a
// systemd unit, this process becomes the program instead.
std::optional<pid_t> logged_startup(const std::string& service, bool wipe, const std::vector<std::string>& command,
                                    const StartupOptions& options = {});

// The path of the service's startup log.
std::string startup_log_path(const std::string& service);
// Opens the startup log (truncated, or for appending); throws IO::FileOpenError.
UniqueFd _open_startup_log(const std::string& service, bool truncate);
// The log text, or nothing.
std::optional<std::string> fetch_startup_log(const std::string& service);
int append_to_startup_log(const std::string& service, const std::string& text);

// Runs a command with its output discarded and waits for it; one word may hold a whole
// command line (split at single spaces). The status is left in the last child status.
void nooutputsystem(std::vector<std::string> words);

// The last time-out that ended a waited-for startup command, for the caller's message.
std::optional<double> last_startup_timeout();
// The wait status of the last waited-for command as it was (a signal as a signal).
int last_startup_wait_status();

}  // namespace Vexlan::RestartSrv
