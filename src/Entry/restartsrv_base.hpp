#pragma once
// The program's entry: from the name it was invoked under and its arguments to one
// action on one service, inside one error boundary, with a verdict and an exit status
// callers can trust.
#include <optional>
#include <string>
#include <vector>

#include "Entry/Invocation.hpp"

namespace Vexlan::ServiceManager {
class Base;
}

namespace scripts::restartsrv_base {

// Exit statuses.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_HANDLED_SERVICE_ERROR = 255;
inline constexpr int EXIT_ERROR = 1;
inline constexpr int EXIT_TERM = 143;

// The fixed texts the entry compares against.
inline constexpr const char* NO_AUDIT_MARKER = "--no-audit";
inline constexpr const char* DIRECT_CALL_MARKER = "restartsrv_base.";
inline constexpr const char* PLACEHOLDER_SERVICE = "base";
inline constexpr const char* RESERVED_SERVICE = "base";
inline constexpr const char* HELP_OPTION = "--help";
inline constexpr const char* SHORT_HELP_OPTION = "-h";
inline constexpr const char* VERSION_OPTION = "--version";
inline constexpr const char* TOLERANCE_OPTION = "--notconfigured-ok";
inline constexpr const char* NO_FPM_STATUS_MARKER = "--no-fpm-status";
inline constexpr const char* DEFAULT_OPTION = "--verbose";

// The whole program: audit record, run, release of the service object; the exit status.
int main(const std::string& invocation, std::vector<std::string> args);

// The invocation path the entry works with (argv[0]).
void set_invocation(const std::string& path);
const std::string& invocation();

int run(std::vector<std::string>& args);
Vexlan::ServiceManager::Base* get_current_service();
void release_current_service();
bool _parent_is_systemd();
// Returns when there is work to do; ends the process with status 0 when systemd already
// killed the service's main process for the stop being asked for.
void _exit_if_triggered_by_systemd_term_or_kill_signal(const std::vector<std::string>& args);
// Ends the process with that status, by unwinding (Vexlan::request_exit), never ::_exit.
[[noreturn]] void _exit(int code);
bool _show_startup_log_for_srv(Vexlan::ServiceManager::Base& srv);
int _show_fpm_status();

// One line: time stamp, path, arguments, parent pid and its normalised command line.
std::string audit_record(const std::vector<std::string>& args, int ppid, const std::string& parent_cmdline);
void write_audit_record(const std::vector<std::string>& args);

}  // namespace scripts::restartsrv_base
