#include "Systemd/SystemdQueries.hpp"

#include <string.h>

#include <fmt/format.h>

#include "Process/ProcFs.hpp"
#include "Process/Unix/PID/Tiny.hpp"
#include "Systemd/SystemdBus.hpp"
#include "SafeRun/Object.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::RestartSrv::Systemd {

namespace {
const std::string& value(const PropertyMap& map, const char* key) {
    static const std::string kEmpty;
    auto it = map.find(key);
    return it == map.end() ? kEmpty : it->second;
}

// What systemctl status shows for the main process: CLD_EXITED 1, CLD_KILLED 2, CLD_DUMPED 3.
std::pair<std::string, std::string> code_and_signal(const PropertyMap& map) {
    auto code = Number::parse<int>(value(map, "ExecMainCode"));
    auto status = Number::parse<int>(value(map, "ExecMainStatus"));
    if (!code || !status) return {"", ""};
    if (*code == 1) return {"exited", ""};
    if (*code != 2 && *code != 3) return {"", ""};
    const char* name = ::sigabbrev_np(*status);
    return {*code == 2 ? "killed" : "dumped", name ? name : std::to_string(*status)};
}

bool is_generated_from_init_script(const PropertyMap& map) {
    return value(map, "SourcePath").starts_with("/etc/init.d/") &&
           value(map, "FragmentPath").starts_with("/run/systemd/generator");
}
}  // namespace

const std::vector<std::string>& needs_systemd_show_keys() {
    static const std::vector<std::string> kKeys = {"LoadState", "ActiveState", "SubState",      "Type",
                                                   "MainPID",   "FragmentPath", "PIDFile",      "UnitFileState",
                                                   "Result",    "ExecMainCode", "ExecMainStatus", "CanReload",
                                                   "SourcePath", "InvocationID", "ExecMainStartTimestamp",
                                                   "NRestarts", "ControlGroup", "KillMode",
                                                   "ActiveEnterTimestampMonotonic"};
    return kKeys;
}

std::string systemctl_binary() { return Paths::get(Paths::Key::Systemctl); }

std::string normalize_unit_name(const std::string& name) {
    const std::string suffix = UNIT_SUFFIX;
    if (name.size() < 9 || name.compare(name.size() - 8, 8, suffix) != 0) return name + suffix;
    return name;
}

std::string strip_unit_suffix(const std::string& name) {
    const std::string suffix = UNIT_SUFFIX;
    if (name.size() > suffix.size() && name.ends_with(suffix)) return name.substr(0, name.size() - suffix.size());
    return name;
}

PropertyMap get_service_info_via_systemd(const std::string& name) {
    PropertyMap map;
    const PropertyMap* all = Bus::get().unit_properties(normalize_unit_name(name));
    if (!all) return map;
    for (const auto& key : needs_systemd_show_keys())
        if (auto it = all->find(key); it != all->end()) map[key] = it->second;
    return map;
}

std::optional<PropertyMap> has_service_via_systemd(const std::string& name) {
    if (name.empty()) return std::nullopt;
    PropertyMap map = get_service_info_via_systemd(name);
    // No properties at all means no systemd to ask: not a unit.
    if (map.empty()) return std::nullopt;
    // Whether systemd has the unit is systemd's answer, wherever its file lies (/run,
    // /usr/local, a transient unit). Only a unit it has never heard of leaves the service to
    // its init script; one still running after its file went away is still systemd's.
    const std::string& active = map["ActiveState"];
    if (map["LoadState"] == NOT_FOUND && (active.empty() || active == "inactive")) return std::nullopt;
    // A unit generated from an init script has a path of its own (generated_from_init_script):
    // its state says nothing about its daemon.
    if (is_generated_from_init_script(map)) return std::nullopt;
    return map;
}

std::optional<PropertyMap> generated_from_init_script(const std::string& name) {
    if (name.empty()) return std::nullopt;
    PropertyMap map = get_service_info_via_systemd(name);
    if (map["LoadState"] != LOADED || !is_generated_from_init_script(map)) return std::nullopt;
    return map;
}

std::optional<std::string> get_pid_via_systemd(const std::string& name, const std::optional<PropertyMap>& given) {
    PropertyMap live = get_service_info_via_systemd(name);
    if (auto pid = Number::parse_pid(value(live, "MainPID"))) return std::to_string(*pid);
    PropertyMap map = given ? *given : live;
    if (map["LoadState"] == LOADED && map["ActiveState"] == ACTIVE) {
        if (auto pid = Number::parse_pid(map["MainPID"])) return std::to_string(*pid);
        // A pid only ever comes from a list systemd keeps for this very unit.
        if (map["SubState"] == PID_FROM_PROCESSES_SUBSTATE) {
            auto pids = get_pids_via_systemd(name);
            if (!pids.empty()) return pids.front();
        }
    }
    if (!map["PIDFile"].empty()) {
        if (auto pid = Unix::PID::Tiny().is_pidfile_running(map["PIDFile"])) return std::to_string(*pid);
    }
    return std::nullopt;
}

std::vector<std::string> get_pids_via_systemd(const std::string& name) {
    const std::string unit = normalize_unit_name(name);
    PropertyMap map = get_service_info_via_systemd(name);
    if (map["LoadState"] != LOADED || map["ActiveState"] != ACTIVE) return {};
    std::vector<std::string> pids;
    if (auto list = Bus::get().unit_processes(unit))
        for (const auto& p : *list)
            if (p.pid > 1) pids.push_back(std::to_string(p.pid));
    return pids;
}

std::tuple<std::string, std::string, std::string> get_code_and_signal_via_systemd(const std::string& name) {
    PropertyMap map = get_service_info_via_systemd(name);
    auto [code, signal] = code_and_signal(map);
    return {map["ActiveState"], code, signal};
}

std::string main_process_end_text(const PropertyMap& map) {
    auto [code, signal] = code_and_signal(map);
    if (code == "exited") return fmt::format("its main process exited, status={}", value(map, "ExecMainStatus"));
    if (code == "killed") return fmt::format("its main process was killed by SIG{}", signal);
    if (code == "dumped") return fmt::format("its main process dumped core on SIG{}", signal);
    return "";
}

std::string automatic_restarts_text(const std::string& unit, const PropertyMap& map, long restarts) {
    std::string text = fmt::format("systemd restarted {} by itself {} time{} while its start was being confirmed",
                                   unit, restarts, restarts == 1 ? "" : "s");
    if (const std::string how = main_process_end_text(map); !how.empty()) text += "; " + how;
    if (const std::string& result = value(map, "Result"); !result.empty() && result != "success")
        text += fmt::format(" (result: {})", result);
    return text + ".";
}

std::optional<std::string> get_status_via_systemd(const std::string& name) {
    PropertyMap map = get_service_info_via_systemd(name);
    if (map["LoadState"] != LOADED) return std::nullopt;
    return map["ActiveState"];
}

int _run_systemctl(const std::vector<std::string>& args) {
    SafeRun::Options o;
    o.program = systemctl_binary();
    o.args = args;
    o.stdout_handle = SafeRun::OutputHandle{SafeRun::Fd{1}};
    o.stderr_handle = SafeRun::OutputHandle{SafeRun::Fd{2}};
    o.keep_env = true;
    SafeRun::Object run(std::move(o));
    Bus::get().forget();
    return run.CHILD_ERROR().value_or(0);
}

std::optional<std::string> stop_via_systemd(const std::string& name) {
    if (get_service_info_via_systemd(name)["LoadState"] != LOADED) return std::nullopt;
    _run_systemctl({"stop", "--", name + UNIT_SUFFIX});
    return get_service_info_via_systemd(name)["ActiveState"];
}

std::pair<std::optional<std::string>, std::optional<std::string>> restart_via_systemd(const std::string& name) {
    if (get_service_info_via_systemd(name)["LoadState"] != LOADED) return {std::nullopt, std::nullopt};
    int status = _run_systemctl({"restart", "--", name + UNIT_SUFFIX});
    PropertyMap after = get_service_info_via_systemd(name);
    if ((status >> 8) != 0) return {after["ActiveState"], std::nullopt};
    return {after["ActiveState"], after["MainPID"]};
}

std::optional<std::string> systemd_cannot_be_asked() {
    if (!FileUtils::is_directory(Paths::get(Paths::Key::SystemdRunDir))) return std::nullopt;
    auto& bus = Bus::get();
    if (bus.reachable()) return std::nullopt;
    return bus.unreachable_reason();
}

bool pid_is_in_unit(pid_t pid, const std::string& unit) {
    auto text = ProcFs::read_cgroup(pid);
    if (!text) return false;
    // "0::/system.slice/foo.service" (or a sub-group below it).
    const std::string want = "/" + normalize_unit_name(unit);
    size_t start = 0;
    while (start < text->size()) {
        size_t nl = text->find('\n', start);
        std::string_view line(text->data() + start, (nl == std::string::npos ? text->size() : nl) - start);
        start = nl == std::string::npos ? text->size() : nl + 1;
        auto colon = line.rfind(':');
        if (colon == std::string_view::npos) continue;
        std::string_view path = line.substr(colon + 1);
        for (size_t at = path.find(want); at != std::string_view::npos; at = path.find(want, at + 1)) {
            size_t end = at + want.size();
            if (end == path.size() || path[end] == '/') return true;
        }
    }
    return false;
}

}  // namespace Vexlan::RestartSrv::Systemd
