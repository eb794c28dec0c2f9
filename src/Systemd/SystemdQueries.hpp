#pragma once
// systemd's view of a unit, asked of systemd itself over its bus (SystemdBus).
#include <sys/types.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Systemd/PropertyMap.hpp"

namespace Vexlan::RestartSrv::Systemd {

inline constexpr const char* UNIT_SUFFIX = ".service";
// The properties a property map holds.
const std::vector<std::string>& needs_systemd_show_keys();
std::string systemctl_binary();

// Appends ".service" unless the name already ends in it (and is longer than the suffix).
std::string normalize_unit_name(const std::string& name);
// A service name as the program uses it: without a trailing ".service".
std::string strip_unit_suffix(const std::string& name);

// The unit's properties; empty when systemd is not reachable or did not answer.
PropertyMap get_service_info_via_systemd(const std::string& name);
// The property map when systemd has the unit, wherever its file lies (or with none: a
// transient unit, or a running one whose file is gone); empty when the name is empty,
// systemd has never heard of it and runs nothing of it, the unit is generated from an init
// script, or systemd cannot be reached.
std::optional<PropertyMap> has_service_via_systemd(const std::string& name);
// The property map of a unit that systemd generated from an init script (a package that
// ships only a script): not one of the unit directories' units, but the only way to drive
// it, since the script's own start hands over to systemd.
std::optional<PropertyMap> generated_from_init_script(const std::string& name);
std::optional<std::string> get_pid_via_systemd(const std::string& name, const std::optional<PropertyMap>& map = std::nullopt);
// The pids systemd lists in the unit's control group, when the unit is loaded and active.
std::vector<std::string> get_pids_via_systemd(const std::string& name);
// (active state, exit code, exit signal) of the unit's main process as systemd reports
// them: code "exited" with the status, or "killed"/"dumped" with the signal name.
std::tuple<std::string, std::string, std::string> get_code_and_signal_via_systemd(const std::string& name);
// How the unit's main process last ended, as systemctl status says it ("its main process
// exited, status=1"); empty when systemd does not say.
std::string main_process_end_text(const PropertyMap& map);
// Why a start that systemd kept restarting by itself was not confirmed, with the count,
// how the last main process ended and systemd's result.
std::string automatic_restarts_text(const std::string& unit, const PropertyMap& map, long restarts);
std::optional<std::string> get_status_via_systemd(const std::string& name);
std::optional<std::string> stop_via_systemd(const std::string& name);
std::pair<std::optional<std::string>, std::optional<std::string>> restart_via_systemd(const std::string& name);
// Runs the systemctl program with its output on the terminal; the raw wait status.
int _run_systemctl(const std::vector<std::string>& args);

// Why this process cannot learn what systemd runs, when systemd runs as init but cannot be
// asked (no system bus for an unprivileged caller); nothing when it can, or does not run.
std::optional<std::string> systemd_cannot_be_asked();

// True when the unit's control group (as /proc/<pid>/cgroup names it) is the unit's.
bool pid_is_in_unit(pid_t pid, const std::string& unit);

// State and type words compared throughout.
inline constexpr const char* LOADED = "loaded";
inline constexpr const char* NOT_FOUND = "not-found";
inline constexpr const char* ACTIVE = "active";
// The sub-state whose main pid comes from the unit's process list.
inline constexpr const char* PID_FROM_PROCESSES_SUBSTATE = "exited";
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
