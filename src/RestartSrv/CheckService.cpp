#include "RestartSrv/CheckService.hpp"

#include <cstdlib>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Process/PidFile/PidFile.hpp"
#include "Process/ProcFs.hpp"
#include "Process/ProcessCheck/Running.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "RestartSrv/CheckServiceFallback.hpp"
#include "Process/Command/Command.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Regex.hpp"
#include "Util/Text.hpp"

namespace Vexlan::RestartSrv {

std::string method_suffix(const std::string& label) {
    return "(" + label + " check method)";
}

namespace {
std::string status_line(const std::string& service, const std::string& command, const std::string& owner,
                        const std::string& pid, const std::string& label) {
    // A daemon that retitles itself pads its command line with blanks.
    const auto end = command.find_last_not_of(' ');
    // A daemon's user chooses its command line: it reaches root's terminal escaped.
    const std::string shown = Text::escape_control(end == std::string::npos ? "" : command.substr(0, end + 1));
    return fmt::format("{} ({}) is running as {} with PID {} {}.", service, shown, owner, pid,
                       method_suffix(label));
}
// What systemd says when it runs the service: a final answer (an empty one: down), or
// nothing when the checks below decide, with the pid and label systemd leaves them.
std::optional<std::string> ask_systemd(const CheckServiceArgs& args, std::string& pid, std::string& label,
                                       bool& consulted) {
    auto map = Systemd::has_service_via_systemd(args.service);
    if (!map) return std::nullopt;
    consulted = true;
    auto systemd_pid = Systemd::get_pid_via_systemd(args.service);
    if (!pid.empty() && !(systemd_pid && pid == *systemd_pid)) return std::nullopt;
    if (pid.empty() && systemd_pid) pid = *systemd_pid;
    label = LABEL_SYSTEMD;
    auto& m = *map;
    if (m["Type"] == Systemd::TYPE_BY_ACTIVE_STATE) {
        if (m["ActiveState"] == Systemd::ACTIVE)
            return fmt::format("{} is active {}.", args.service, method_suffix(label));
    } else if (pid.empty() && m["Type"] == Systemd::TYPE_FIRST_CGROUP_PID) {
        if (m["ActiveState"] == Systemd::ACTIVE) {
            auto pids = Systemd::get_pids_via_systemd(args.service);
            if (!pids.empty()) pid = pids.front();
        }
    } else if (m["Type"] == Systemd::TYPE_MAIN_PID && m["MainPID"] == pid &&
               m["ActiveState"] == Systemd::ACTIVE && m["SubState"] == Systemd::MAIN_PID_SUBSTATE) {
        return fmt::format("{} ({}) is running with PID {} {}.", args.service, m["FragmentPath"], pid,
                           method_suffix(label));
    }
    if (pid.empty()) return "";
    return std::nullopt;
}

// What /proc says of the pid: a final answer (empty: gone), or nothing when the pid must
// still pass the identity checks.
std::optional<std::string> ask_proc(const CheckServiceArgs& args, pid_t p, const std::string& pid,
                                    const std::string& label) {
    const std::string dir = ProcFs::pid_dir(p);
    if (!FileUtils::is_directory(dir)) return "";
    auto uid = ProcFs::owner_uid(p);
    const std::string owner = uid ? ProcFs::user_name(*uid) : "";
    auto raw = ProcFs::read_cmdline(p);
    if (!raw) return "";
    std::string command = *raw;
    while (!command.empty() && command.back() == '\0') command.pop_back();
    for (auto& c : command)
        if (c == '\0') c = ' ';
    // A zombie has exited: it has no descriptors left and is not the service.
    if (!FileUtils::is_directory(dir + "/fd") || ProcFs::is_zombie(p)) return "";
    // The ignore list is for wrappers and tools a name search may stumble on; the process
    // systemd itself names as the unit's is the service's own whatever it runs. A pid from a
    // pidfile may be stale and taken by another program: it must pass the identity checks.
    if (label == LABEL_SYSTEMD ||
        (label != LABEL_PIDFILE && !Services::Command::should_ignore_this_command(command))) {
        const std::string l = label.empty() ? LABEL_PROC : label + "+" + LABEL_PROC;
        return status_line(args.service, command, owner, pid, l);
    }
    return std::nullopt;
}
}  // namespace

std::string check_service(const CheckServiceArgs& args) {
    std::string pid = args.pid;
    std::string label = args.check_method;
    bool systemd_consulted = false;

    if (!args.ignore_systemd) {
        if (auto answer = ask_systemd(args, pid, label, systemd_consulted)) return *answer;
    }

    if (!systemd_consulted && pid.empty() && !args.pidfile.empty()) {
        if (auto n = PidFile::read(args.pidfile)) {
            pid = std::to_string(*n);
            label = LABEL_PIDFILE;
        }
    }
    // A pid that is no pid of a process (junk, 0, 1, out of range) names nothing.
    const auto pid_number = Number::parse_pid(pid);
    if (!pid.empty() && !pid_number) pid.clear();

    if (pid_number && FileUtils::is_directory(ProcFs::proc_root())) {
        if (auto answer = ask_proc(args, *pid_number, pid, label)) return *answer;
    }

    if (!pid.empty() && !args.service.empty() && !args.user.empty()) {
        try {
            ProcessCheck::Running::Options o;
            o.pid = pid;
            o.user = args.user;
            if (label == LABEL_PIDFILE && args.command_line_regex)
                o.pattern = Regex(*args.command_line_regex);
            else
                o.pattern_text = args.service;
            o.use_services_ignore = true;
            ProcessCheck::Running check(o);
            check.check_all();
            const std::string cmd = fmt::format("{}", fmt::join(check.pid_object().cmdline(), " "));
            std::string l = label.empty() ? LABEL_PROCESS_CHECK : label + "+" + LABEL_PROCESS_CHECK;
            return status_line(args.service, cmd, args.user, pid, l);
        } catch (...) {
            // Not confirmed as the service's process: the fallback decides.
        }
    }

    return Services::check_service(args);
}

}  // namespace Vexlan::RestartSrv
