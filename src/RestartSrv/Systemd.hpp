#pragma once
// systemd's view of a unit, read by running systemctl and parsing what it prints.
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "RestartSrv/PropertyMap.hpp"

namespace Vexlan::RestartSrv::Systemd {


inline constexpr const char* UNIT_SUFFIX = ".service";
// The properties the property query asks for.
const std::vector<std::string>& needs_systemd_show_keys();
std::string systemctl_binary();

// Appends ".service" unless the name already ends in it (and is longer than the suffix).
std::string normalize_unit_name(const std::string& name);
// Parses `systemctl show` output: key=value lines, the value cut at its first "=", later
// keys replacing earlier ones, keys outside [A-Za-z0-9_] dropped.
PropertyMap parse_properties(const std::string& text);

PropertyMap get_service_info_via_systemd(const std::string& name);
// The property map when systemd has a usable unit; empty when the name is empty, the
// unit is not found, its fragment lies outside the unit directories, or systemctl is
// missing or prints nothing.
std::optional<PropertyMap> has_service_via_systemd(const std::string& name);
std::optional<std::string> get_pid_via_systemd(const std::string& name, const std::optional<PropertyMap>& map = std::nullopt);
std::vector<std::string> get_pids_via_systemd(const std::string& name);
// (active state, exit code, exit signal).
std::tuple<std::string, std::string, std::string> get_code_and_signal_via_systemd(const std::string& name);
std::optional<std::string> get_status_via_systemd(const std::string& name);
std::optional<std::string> stop_via_systemd(const std::string& name);
std::pair<std::optional<std::string>, std::optional<std::string>> restart_via_systemd(const std::string& name);
int _run_systemctl(const std::vector<std::string>& args);

// Parsers of the status report, separated for recorded output.
std::vector<std::string> parse_status_pids(const std::vector<std::string>& lines);
std::tuple<std::string, std::string, std::string> parse_code_and_signal(const std::vector<std::string>& lines);
std::optional<std::string> first_pid_in_status(const std::vector<std::string>& lines);

// State and type words compared throughout.
inline constexpr const char* LOADED = "loaded";
inline constexpr const char* NOT_FOUND = "not-found";
inline constexpr const char* ACTIVE = "active";
// The sub-state whose main pid comes from the status report.
inline constexpr const char* PID_FROM_STATUS_SUBSTATE = "exited";
// Judged by the active state alone.
inline constexpr const char* TYPE_BY_ACTIVE_STATE = "oneshot";
// Without a main pid, the first pid of the control group.
inline constexpr const char* TYPE_FIRST_CGROUP_PID = "forking";
// Up when its main pid runs in the "running" sub-state.
inline constexpr const char* TYPE_MAIN_PID = "simple";
inline constexpr const char* MAIN_PID_SUBSTATE = "running";
// The sub-state that leaves stray processes to clean up.
inline constexpr const char* ORPHANS_SUBSTATE = "dead";

}  // namespace Vexlan::RestartSrv::Systemd
