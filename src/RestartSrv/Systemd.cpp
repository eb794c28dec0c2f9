#include "RestartSrv/Systemd.hpp"

#include "SafeRun/Object.hpp"
#include "SafeRun/Simple.hpp"
#include "Process/Unix/PID/Tiny.hpp"
#include "Util/Guards.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::RestartSrv::Systemd {

namespace {
// systemctl must print its untranslated keywords and times.
struct FixedLocale {
    EnvGuard env;
    FixedLocale() {
        env.set("LANG", "C");
        env.set("TZ", "UTC");
        env.unset("LC_ALL");
    }
};

std::string capture(const std::vector<std::string>& args) {
    std::vector<std::string> cmd{systemctl_binary()};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return SafeRun::Simple::saferunnoerror(cmd).value_or("");
}

std::vector<std::string> capture_lines(const std::vector<std::string>& args) {
    std::vector<std::string> cmd{systemctl_binary()};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return SafeRun::Errors::saferunnoerror_lines(cmd);
}

bool valid_key(const std::string& k) {
    if (k.empty()) return false;
    for (char c : k)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
    return true;
}
}  // namespace

const std::vector<std::string>& needs_systemd_show_keys() {
    static const std::vector<std::string> kKeys = {"LoadState", "ActiveState", "SubState",      "Type",
                                                   "MainPID",   "FragmentPath", "PIDFile",      "UnitFileState",
                                                   "Result",    "ExecMainCode", "ExecMainStatus"};
    return kKeys;
}

std::string systemctl_binary() { return Paths::get(Paths::Key::Systemctl); }

std::string normalize_unit_name(const std::string& name) {
    const std::string suffix = UNIT_SUFFIX;
    if (name.size() < 9 || name.compare(name.size() - 8, 8, suffix) != 0) return name + suffix;
    return name;
}

PropertyMap parse_properties(const std::string& text) {
    PropertyMap map;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        start = nl == std::string::npos ? text.size() : nl + 1;
        auto eq = line.find('=');
        std::string key = line.substr(0, eq);
        std::string value;
        if (eq != std::string::npos) {
            value = line.substr(eq + 1);
            if (auto second = value.find('='); second != std::string::npos) value.resize(second);
        }
        if (valid_key(key)) map[key] = value;
    }
    return map;
}

PropertyMap get_service_info_via_systemd(const std::string& name) {
    FixedLocale locale;
    std::vector<std::string> args{"show"};
    for (const auto& k : needs_systemd_show_keys()) {
        args.push_back("-p");
        args.push_back(k);
    }
    args.push_back(normalize_unit_name(name));
    return parse_properties(capture(args));
}

std::optional<PropertyMap> has_service_via_systemd(const std::string& name) {
    if (name.empty()) return std::nullopt;
    PropertyMap map = get_service_info_via_systemd(name);
    // No properties at all means no systemctl or no systemd: not a unit.
    if (map.empty()) return std::nullopt;
    if (map["LoadState"] == NOT_FOUND) return std::nullopt;
    const std::string& fragment = map["FragmentPath"];
    if (!fragment.empty()) {
        bool accepted = false;
        for (const char* prefix : {"/etc/systemd/system/", "/lib/systemd/system/", "/usr/lib/systemd/system/", "/dev/null"})
            if (fragment.starts_with(prefix)) accepted = true;
        if (!accepted) return std::nullopt;
    }
    return map;
}

std::optional<std::string> first_pid_in_status(const std::vector<std::string>& lines) {
    static const Regex kHeader(R"(^[\w\s]+:)");
    static const Regex kDigits(R"((\d+))");
    for (const auto& line : lines) {
        if (kHeader.match(line) || line.find_first_of("0123456789") == std::string::npos) continue;
        if (auto m = kDigits.captures(line)) return (*m)[1];
        break;
    }
    return std::nullopt;
}

std::optional<std::string> get_pid_via_systemd(const std::string& name, const std::optional<PropertyMap>& given) {
    std::string unit = normalize_unit_name(name);
    {
        FixedLocale locale;
        std::string text = capture({"show", "-p", "MainPID", unit});
        static const Regex kMainPid(R"(\AMainPID=([0-9]+)\n?\z)");
        if (last_child_status() == 0 && !text.empty())
            if (auto m = kMainPid.captures(text); m && (*m)[1] != "0" && std::stol((*m)[1]) != 0) return (*m)[1];
    }
    PropertyMap map = given ? *given : get_service_info_via_systemd(name);
    if (map["LoadState"] == LOADED && map["ActiveState"] == ACTIVE) {
        if (!map["MainPID"].empty() && map["MainPID"] != "0") return map["MainPID"];
        if (map["SubState"] == PID_FROM_STATUS_SUBSTATE) {
            FixedLocale locale;
            if (auto pid = first_pid_in_status(capture_lines({"status", unit}))) return pid;
        }
    }
    if (!map["PIDFile"].empty()) {
        if (auto pid = Unix::PID::Tiny().is_pidfile_running(map["PIDFile"])) return std::to_string(*pid);
    }
    return std::nullopt;
}

std::vector<std::string> parse_status_pids(const std::vector<std::string>& lines) {
    static const Regex kBlank(R"(^\s*$)");
    static const Regex kCgroup(R"(^\s*CGroup:)");
    static const Regex kLoaded(R"(^Loaded: (\w+))");
    static const Regex kActive(R"(^Active: (\w+))");
    static const Regex kPid(R"(([0-9]+)\s+)");
    std::vector<std::string> pids;
    bool in_cgroup = false;
    for (const auto& line : lines) {
        if (kBlank.match(line)) break;
        if (!in_cgroup) {
            if (kCgroup.match(line)) {
                in_cgroup = true;
                continue;
            }
            if (auto m = kLoaded.captures(line); m && (*m)[1] != LOADED) return {};
            if (auto m = kActive.captures(line); m && (*m)[1] != ACTIVE) return {};
            continue;
        }
        auto m = kPid.captures(line);
        if (!m) break;
        pids.push_back((*m)[1]);
    }
    return pids;
}

std::vector<std::string> get_pids_via_systemd(const std::string& name) {
    FixedLocale locale;
    return parse_status_pids(capture_lines({"status", "--lines=0", normalize_unit_name(name)}));
}

std::tuple<std::string, std::string, std::string> parse_code_and_signal(const std::vector<std::string>& lines) {
    static const Regex kBlank(R"(^\s*$)");
    static const Regex kActive(R"(^[ \t]*Active:[ \t]*(\S+))");
    static const Regex kMain(R"(^[ \t]*Main PID:[ \t]*[0-9]+[ \t]*([^\)]+))");
    static const Regex kCode(R"(code=([^, ]+))");
    static const Regex kSignal(R"(signal=([^, ]+))");
    std::string active, code, signal;
    for (const auto& line : lines) {
        if (kBlank.match(line)) break;
        if (auto m = kActive.captures(line)) {
            active = (*m)[1];
        } else if (auto m2 = kMain.captures(line)) {
            const std::string& rest = (*m2)[1];
            auto c = kCode.captures(rest);
            auto s = kSignal.captures(rest);
            code = c ? (*c)[1] : "";
            signal = s ? (*s)[1] : "";
        }
    }
    return {active, code, signal};
}

std::tuple<std::string, std::string, std::string> get_code_and_signal_via_systemd(const std::string& name) {
    FixedLocale locale;
    return parse_code_and_signal(capture_lines({"status", "--lines=0", normalize_unit_name(name)}));
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
    return run.CHILD_ERROR().value_or(0);
}

std::optional<std::string> stop_via_systemd(const std::string& name) {
    if (get_service_info_via_systemd(name)["LoadState"] != LOADED) return std::nullopt;
    _run_systemctl({"stop", name + UNIT_SUFFIX});
    return get_service_info_via_systemd(name)["ActiveState"];
}

std::pair<std::optional<std::string>, std::optional<std::string>> restart_via_systemd(const std::string& name) {
    if (get_service_info_via_systemd(name)["LoadState"] != LOADED) return {std::nullopt, std::nullopt};
    int status = _run_systemctl({"restart", name + UNIT_SUFFIX});
    PropertyMap after = get_service_info_via_systemd(name);
    if ((status >> 8) != 0) return {after["ActiveState"], std::nullopt};
    return {after["ActiveState"], after["MainPID"]};
}

}  // namespace Vexlan::RestartSrv::Systemd
