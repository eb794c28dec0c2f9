#pragma once
// The process-level service check that produces status lines: systemd, then the
// pidfile, then /proc, then the identity checks, then the final fallback.
#include <optional>
#include <string>

namespace Vexlan::RestartSrv {

struct CheckServiceArgs {
    std::string service;
    std::string user;
    std::string pid;
    std::string pidfile;
    std::string check_method;
    bool ignore_systemd = false;
    std::optional<std::string> command_line_regex;
    // The service's class names its daemon's executable (a pattern of its path): with it, the
    // daemon is found by what runs, whatever the init script says or computes.
    std::optional<std::string> program_regex;
};

// The method labels that end a status line.
inline constexpr const char* LABEL_SYSTEMD = "systemd";
inline constexpr const char* LABEL_PIDFILE = "pidfile";
inline constexpr const char* LABEL_PROC = "/proc";
inline constexpr const char* LABEL_PROCESS_CHECK = "process";

// Non-empty status text when the service is up, empty when down.
std::string check_service(const CheckServiceArgs& args);

// "(<label> check method)" ending: how a status line names its method.
std::string method_suffix(const std::string& label);

}  // namespace Vexlan::RestartSrv
