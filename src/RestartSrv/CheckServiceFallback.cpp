#include "RestartSrv/CheckServiceFallback.hpp"
#include "RestartSrv/ScriptStatusVerdict.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Exception/Exception.hpp"
#include "Process/PidFile/PidFile.hpp"
#include "Process/ProcFs.hpp"
#include "Process/PsParser/PsParser.hpp"
#include "Process/PwUtils/PwUtils.hpp"
#include "RestartSrv/InitScript.hpp"
#include "RestartSrv/Initd.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "SafeRun/Object.hpp"
#include "Process/Command/Command.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::Services {

namespace {
std::optional<uid_t> uid_of(const std::string& user) {
    if (user.empty()) return std::nullopt;
    try {
        return Number::parse<uid_t>(PwUtils::normalize_to_uid(user));
    } catch (...) {
        return std::nullopt;  // a user that does not exist owns nothing
    }
}

// The program a process runs: its executable, or, where this user may not read that, the
// first word of its command line.
std::string program_of(pid_t pid) {
    char buf[4096];
    ssize_t n = ::readlink((ProcFs::pid_dir(pid) + "/exe").c_str(), buf, sizeof buf - 1);
    if (n > 0) {
        std::string exe(buf, static_cast<size_t>(n));
        if (exe.ends_with(" (deleted)")) exe.resize(exe.size() - 10);
        return exe;
    }
    const std::string cmdline = ProcFs::read_cmdline(pid).value_or("");
    return std::string(cmdline.c_str());  // the first word ends at the first NUL
}

std::string line_for(const std::string& service, const std::vector<pid_t>& pids, const std::string& method) {
    return fmt::format("{} is running with PID {} ({} check method).", service, fmt::join(pids, ", "),
                       method);
}

bool alive(pid_t pid) {
    return ProcFs::is_alive(pid);
}

std::string by_pattern(const RestartSrv::CheckServiceArgs& args) {
    const Regex pattern(*args.command_line_regex);
    const auto owner = uid_of(args.user);
    std::vector<pid_t> pids;
    PsParser::Options listing;
    listing.exclude_self = true;
    listing.exclude_kernel = true;
    for (const auto& r : PsParser::fast_parse_ps(listing)) {
        if ((owner && r.uid != *owner) || !ProcFs::in_own_pid_namespace(r.pid)) continue;
        if (r.state != "Z" && pattern.match(r.command) && !Command::should_ignore_this_command(r.command))
            pids.push_back(r.pid);
    }
    return pids.empty() ? "" : line_for(args.service, pids, "process table");
}

// Processes systemd counts in the service's unit are its own, whoever runs them.
std::string by_unit(const RestartSrv::CheckServiceArgs& args) {
    namespace Systemd = RestartSrv::Systemd;
    const std::string unit = Systemd::normalize_unit_name(args.service);
    const auto props = Systemd::get_service_info_via_systemd(unit);
    auto state = props.find("ActiveState");
    if (state == props.end() || state->second != Systemd::ACTIVE) return "";
    auto list = Systemd::Bus::get().unit_processes(unit);
    if (!list) return "";
    std::vector<pid_t> pids;
    for (const auto& p : *list)
        if (p.pid > 1 && alive(p.pid) && Systemd::pid_is_in_unit(p.pid, unit)) pids.push_back(p.pid);
    return pids.empty() ? "" : line_for(args.service, pids, "systemd control group");
}

// The users the daemon runs as: the service's, and the one its script has start-stop-daemon
// switch to (a daemon that drops to its own user writes its pidfile as that user).
std::vector<uid_t> daemon_owners(const RestartSrv::InitScriptFacts& facts, const RestartSrv::CheckServiceArgs& args) {
    std::vector<uid_t> owners;
    if (auto uid = uid_of(args.user)) owners.push_back(*uid);
    if (facts.user)
        if (auto uid = uid_of(*facts.user); uid && std::find(owners.begin(), owners.end(), *uid) == owners.end())
            owners.push_back(*uid);
    return owners;
}

bool owned_by(pid_t pid, const std::vector<uid_t>& owners) {
    const auto uid = ProcFs::owner_uid(pid);
    return uid && std::find(owners.begin(), owners.end(), *uid) != owners.end();
}

// What names the daemon's program: the script's DAEMON, else the class's pattern.
// A DAEMON that is a link (Debian's redis-server names redis-check-rdb) runs as its target.
struct DaemonProgram {
    std::optional<std::string> path, target;
    std::optional<Regex> pattern;
    bool known() const { return path || pattern; }
    bool runs(const std::string& program) const {
        if (path) return program == *path || (target && program == *target);
        return pattern && pattern->match(program);
    }
};

DaemonProgram daemon_program(const RestartSrv::InitScriptFacts& facts, const RestartSrv::CheckServiceArgs& args) {
    DaemonProgram d;
    d.path = facts.daemon;
    if (d.path)
        if (char* real = ::realpath(d.path->c_str(), nullptr)) {
            d.target = real;
            std::free(real);
        }
    if (!d.path && args.program_regex) d.pattern.emplace(*args.program_regex);
    return d;
}

// A pidfile may name anything: its process counts when it runs the daemon's program (or
// one named like the service), and it is one of the daemon's users', or the file is root's
// and nobody else may write it.
bool pidfile_process_is_the_daemon(const std::string& pidfile, pid_t pid, const DaemonProgram& daemon,
                                   const std::vector<uid_t>& owners, const RestartSrv::CheckServiceArgs& args) {
    if (!alive(pid)) return false;
    const std::string program = program_of(pid);
    const bool right_program =
        daemon.known() ? daemon.runs(program) : program.substr(program.rfind('/') + 1) == args.service;
    if (!right_program) return false;
    // The file itself, never what a link swapped in at its name since it was read names.
    struct stat st {};
    if (::lstat(pidfile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const bool root_only_file = st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    return root_only_file || owned_by(pid, owners);
}

// The processes of the daemon's program that run as one of its users. By the class's
// pattern only the top ones count: a daemon's workers and sessions run the same program
// and are not the daemon.
std::vector<pid_t> daemon_pids(const DaemonProgram& daemon, const std::vector<uid_t>& owners) {
    std::vector<pid_t> pids;
    for (pid_t pid : ProcFs::list_pids()) {
        if (pid == 1 || pid == ::getpid() || ProcFs::is_kernel_thread(pid) || !owned_by(pid, owners) ||
            !alive(pid) || !ProcFs::in_own_pid_namespace(pid))
            continue;
        if (daemon.runs(program_of(pid))) pids.push_back(pid);
    }
    if (daemon.path) return pids;
    std::vector<pid_t> top;
    for (pid_t pid : pids) {
        const auto parent = ProcFs::parent_pid(pid);
        if (!parent || std::find(pids.begin(), pids.end(), *parent) == pids.end()) top.push_back(pid);
    }
    return top;
}
}  // namespace

std::vector<pid_t> daemon_processes(const RestartSrv::CheckServiceArgs& args) {
    const auto script = RestartSrv::getinitfile(args.service);
    const auto facts = script ? RestartSrv::read_init_script_facts(*script) : RestartSrv::InitScriptFacts{};
    const auto daemon = daemon_program(facts, args);
    if (!daemon.known()) return {};
    return daemon_pids(daemon, daemon_owners(facts, args));
}

std::string check_service(const RestartSrv::CheckServiceArgs& args) {
    if (args.service.empty()) return "";
    if (args.command_line_regex) {
        if (auto text = by_pattern(args); !text.empty()) return text;
    }
    if (!args.ignore_systemd) {
        if (auto text = by_unit(args); !text.empty()) return text;
    }
    if (const auto script = RestartSrv::getinitfile(args.service)) {
        // The script's own status answer is one witness, and the weakest: it reads the same
        // pidfile without the identity checks. The evidence is gathered as the judgement
        // asks for it.
        const auto facts = RestartSrv::read_init_script_facts(*script);
        const auto owners = daemon_owners(facts, args);
        const auto daemon = daemon_program(facts, args);
        ScriptEvidence e;
        e.script_names_daemon = daemon.known();
        // The script's pidfile, else the class's: a script that computes its pidfile reads
        // the one the class knows from the daemon's configuration.
        const std::optional<std::string> pidfile =
            facts.pidfile ? facts.pidfile : args.pidfile.empty() ? std::nullopt : std::optional(args.pidfile);
        if (pidfile) {
            auto pid = PidFile::read(*pidfile);
            e.pidfile_pid = pid;
            struct stat st {};
            if (pid && pidfile_process_is_the_daemon(*pidfile, *pid, daemon, owners, args))
                e.pidfile = ScriptEvidence::Pidfile::Confirmed;
            else if (::lstat(pidfile->c_str(), &st) == 0)
                e.pidfile = !S_ISREG(st.st_mode) || !pid || !PidFile::may_signal(*pid) || (daemon.known() && alive(*pid))
                                ? ScriptEvidence::Pidfile::Refused
                                : ScriptEvidence::Pidfile::Unconfirmed;
        }
        for (;;) {
            const auto j = judge_script_status(e);
            using V = ScriptJudgement::Verdict;
            if (j.verdict == V::Ask && j.ask == Witness::Program) {
                e.daemon = daemon_pids(daemon, owners);
                continue;
            }
            if (j.verdict == V::Ask) {
                // No answer at all (a script that could not run) is an answer of its own.
                const auto status = RestartSrv::init_script_status(*script, &e.script_timed_out);
                if (!e.script_timed_out) e.script_status = status.value_or(-1);
                continue;
            }
            if (j.verdict == V::Up && j.pids.empty())
                return fmt::format("{} is running ({} {} check method).", args.service, *script, j.method);
            if (j.verdict == V::Up) return line_for(args.service, j.pids, j.method);
            if (j.verdict == V::Down) return "";
            if (j.verdict == V::CannotTell)
                throw Exception::create(Exception::Kinds::Services::Undetermined,
                                        {{"service", args.service},
                                         {"reason", fmt::format("“{} status” did not answer within {} seconds.",
                                                                *script, RestartSrv::INIT_SCRIPT_STATUS_TIMEOUT)}});
            break;  // undecided: a program named like the service decides below
        }
    } else if (args.program_regex) {
        // Without a script, the class's program running as its user is the daemon.
        const auto pids = daemon_processes(args);
        return pids.empty() ? "" : line_for(args.service, pids, "program");
    }
    if (args.command_line_regex) return "";
    // A program named like the service, of the service's user.
    std::vector<pid_t> pids;
    std::optional<PsParser::Owners> owners;
    if (!args.user.empty()) owners = PsParser::Owners{args.user};
    for (pid_t p : PsParser::get_pids_by_name(args.service, owners))
        if (!ProcFs::is_zombie(p)) pids.push_back(p);
    return pids.empty() ? "" : line_for(args.service, pids, "process table");
}

}  // namespace Vexlan::Services
