#include "Entry/restartsrv_base.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string_view>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Entry/ResultRecord.hpp"
#include "Exception/Exception.hpp"
#include "Output/ErrorLog.hpp"
#include "Output/JsonLines.hpp"
#include "Output/Output.hpp"
#include "CommandLine/Help.hpp"
#include "RestartSrv/Legacy.hpp"
#include "CommandLine/ParseArgv.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "SafeRun/Counters.hpp"
#include "ServiceManager/ServiceManager.hpp"
#include "Services/Env.hpp"
#include "Services/Log/Display.hpp"
#include "Services/Log/Log.hpp"
#include "Util/ExitRequest.hpp"
#include "Util/File.hpp"
#include "Util/LockRegistry.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"
#include "Util/Text.hpp"
#include "Util/UniqueFd.hpp"
#include "Util/Time.hpp"

namespace scripts::restartsrv_base {

using Vexlan::ExitRequest;
namespace Exception = Vexlan::Exception;

namespace {
std::string g_invocation;
std::unique_ptr<Vexlan::ServiceManager::Base> g_srv;

bool is_one_of(std::string_view action, std::initializer_list<std::string_view> words) {
    return std::find(words.begin(), words.end(), action) != words.end();
}
// A check or a status only reports: no status block, startup log or error block follows it.
bool is_quiet_action(std::string_view action) { return is_one_of(action, {"CHECK", "STATUS"}); }

// Ends the run with an error text on standard error and a non-zero status. `kind` is an
// error kind's name ("InvalidParameter"), for the result record.
class FatalError : public std::exception {
  public:
    explicit FatalError(std::string text, std::string kind = "Usage") : text_(std::move(text)), kind_(std::move(kind)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& kind() const { return kind_; }

  private:
    std::string text_;
    std::string kind_;
};

// What the result record says about the run, gathered where it is known: the service and
// action the caller meant (before a service object exists) and the first error's kind.
struct Meant {
    std::string service;
    std::string action;
};
Meant g_meant;
struct Failure {
    std::string kind;
    std::string id;
    std::string text;
    std::string reason;  // what the init system said, when the error carries it
};
std::optional<Failure> g_failure;

// A refusal that came after the service was stopped (a restart of a running service that
// is disabled) says so: the caller must not read "disabled" as "left as it was".
std::string refusal_text(const Exception::Base& e) {
    std::string text = e.to_string_no_id();
    if (g_srv && g_srv->stopped_before_refusal()) text = fmt::format("“{}” was stopped: {}", g_srv->service(), text);
    return text;
}

void note_failure(const Exception::Base& e) {
    // Whatever shows this error shows its identifier; the log must hold what it leads to.
    Vexlan::ErrorLog::record(e, refusal_text(e));
    if (!g_failure) g_failure = Failure{e.type(), e.id(), refusal_text(e), e.get_string_field("reason")};
}

// In JSON mode the record a signal ends the run with, built ahead of time (the handler may
// not allocate): the text before the duration and the text after it.
// One head per signal: each says the exit status the caller will see (128 + the signal).
std::string g_signal_record_head[3];
std::string g_signal_record_tail[3];
long g_signal_record_t0_ms = 0;
std::chrono::system_clock::time_point g_started;
volatile sig_atomic_t g_signal_record_ready = 0;

int signal_slot(int sig) { return sig == SIGTERM ? 0 : sig == SIGINT ? 1 : 2; }

long monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void write_raw(const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(STDOUT_FILENO, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

extern "C" void on_signal(int sig) {
    // Only async-signal-safe work here: the record prepared for this moment, the restart
    // lock's release, then the exit a caller expects (143 for TERM; INT and HUP end the
    // process by their own signal, so a shell sees what happened).
    if (g_signal_record_ready) {
        char digits[24];
        size_t n = 0;
        long ms = monotonic_ms() - g_signal_record_t0_ms;
        if (ms < 0) ms = 0;
        do {
            digits[sizeof digits - 1 - n++] = static_cast<char>('0' + ms % 10);
            ms /= 10;
        } while (ms > 0 && n < sizeof digits);
        const int slot = signal_slot(sig);
        // Each message record went out in one write: the record starts a line of its own.
        write_raw(g_signal_record_head[slot].data(), g_signal_record_head[slot].size());
        write_raw(digits + sizeof digits - n, n);
        write_raw(g_signal_record_tail[slot].data(), g_signal_record_tail[slot].size());
    }
    Vexlan::LockRegistry::unlock_all_for_exit();
    if (sig == SIGTERM) ::_exit(EXIT_TERM);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// The record of a run ended by a signal: what was asked, and no look at the service
// afterwards (nothing may be asked of systemd in a signal handler).
void prepare_signal_record() {
    g_signal_record_ready = 0;
    const int signals[3] = {SIGTERM, SIGINT, SIGHUP};
    for (int i = 0; i < 3; ++i) {
        RunResult r;
        r.exit = i == 0 ? EXIT_TERM : 128 + signals[i];
        r.started = g_started;
        r.service = Vexlan::Text::escape_control(g_meant.service, Vexlan::Text::Backslashes::Keep);
        r.action = g_meant.action;
        r.error_kind = "terminated";
        r.state = State::CannotTell;
        r.message = fmt::format("The run was ended by SIG{} before it finished.", sigabbrev_np(signals[i]));
        const std::string text =
            result_record(r).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        const std::string mark = "\"duration_ms\":0";
        const auto at = text.find(mark);
        if (at == std::string::npos) return;
        g_signal_record_head[i] = text.substr(0, at + mark.size() - 1);
        g_signal_record_tail[i] = text.substr(at + mark.size());
    }
    g_signal_record_ready = 1;
}

bool any_arg_is(const std::vector<std::string>& args, const std::string& what) {
    for (const auto& a : args)
        if (a == what) return true;
    return false;
}

bool asks_for_help_or_version(const std::vector<std::string>& args) {
    return any_arg_is(args, HELP_OPTION) || any_arg_is(args, SHORT_HELP_OPTION) || any_arg_is(args, VERSION_OPTION);
}

bool any_arg_contains(const std::vector<std::string>& args, const std::string& what) {
    for (const auto& a : args)
        if (a.find(what) != std::string::npos) return true;
    return false;
}

std::string status_body(Vexlan::ServiceManager::Base& srv) {
    std::string s = srv.service_status();
    return s.empty() ? fmt::format("The “{}” service reported no status.", srv.service()) : s;
}

// After a failure the last status line may be from before the action (the old pid of a
// service that is down now): what is shown is looked at afresh.
std::string fresh_status_body(Vexlan::ServiceManager::Base& srv) {
    Vexlan::RestartSrv::Systemd::Bus::get().forget();
    std::string s;
    try {
        s = srv.get_status_string();
    } catch (const std::exception&) {
        s.clear();
    }
    srv.service_status(s);
    return status_body(srv);
}

// True unless the arguments ask only for --status or --check.
bool changes_a_service(const std::vector<std::string>& args) {
    std::vector<std::string> rest;
    auto parsed = Vexlan::RestartSrv::parse_option_list(args, rest);
    return !parsed.status && !parsed.check;
}

std::string not_privileged_text(const std::string& raw_service) {
    const std::string service = Vexlan::Text::escape_control(raw_service, Vexlan::Text::Backslashes::Keep);
    return fmt::format(
        "Changing the service “{}” needs root privileges; run the command as root (for example with sudo). "
        "“--status” and “--check” work without them.",
        service);
}

std::string verdict_for(const std::string& action, const std::string& service) {
    if (action == "START") return fmt::format("“{}” started successfully.", service);
    if (action == "STOP") return fmt::format("“{}” stopped successfully.", service);
    if (action == "RESTART") return fmt::format("“{}” restarted successfully.", service);
    if (action == "RELOAD") return fmt::format("“{}” reloaded successfully.", service);
    return "";
}

// The service's own action words, for the help text; none when it has no class or the
// class cannot be loaded (help never fails for that).
std::vector<std::string> custom_action_names(const std::string& service) {
    std::vector<std::string> names;
    if (service.empty() || service == PLACEHOLDER_SERVICE) return names;
    try {
        auto srv = Vexlan::ServiceManager::new_service({{"service", service}});
        for (const auto& entry : srv->custom_actions()) names.push_back(entry.first);
    } catch (...) {
        names.clear();
    }
    return names;
}

// "restart" for RESTART: the word a failure verdict names the action by.
std::string action_word(const std::string& action) {
    return action.empty() ? "action" : Vexlan::Text::lower(action);
}

// "Services::StartFailed" → "Start failed".
std::string readable_error_kind(const std::string& kind) {
    std::string words = error_kind_word(kind);
    for (auto& c : words)
        if (c == '-') c = ' ';
    if (!words.empty() && words[0] >= 'a' && words[0] <= 'z') words[0] = static_cast<char>(words[0] - 'a' + 'A');
    return words;
}

// The action the arguments ask for, read before a service object exists; empty when they
// ask for none the program knows (a class's own action is named once it is found).
std::string action_meant(const std::vector<std::string>& args, const std::string& invoked) {
    namespace R = Vexlan::RestartSrv;
    std::vector<std::string> rest;
    try {
        auto p = R::parse_option_list(args, rest);
        for (const auto& a : rest)
            if (!R::is_directly_read_argument(a)) return "";
        if (p.check) return "check";
        if (p.status) return "status";
        if (p.restart == R::STOP) return "stop";
        if (p.restart == R::RELOAD) return "reload";
        if (p.restart == 0) return "";
    } catch (const std::exception&) {
        return "";
    }
    // The caller's own word, even when the run is refused before it knows the service is down.
    return invoked == "start" || any_arg_is(args, "--start") ? "start" : "restart";
}

// A class's own action prints as it likes; in JSON mode each line it printed becomes a
// message record, so that a reader of the stream reads nothing but records. Standard
// output is the caller's again when the action returns or fails.
void run_custom_action(Vexlan::ServiceManager::Base& srv, const Vexlan::ServiceManager::Base::CustomAction& action,
                       bool json) {
    std::fflush(stdout);
    Vexlan::UniqueFd capture(json ? ::memfd_create("custom-action", MFD_CLOEXEC) : -1);
    Vexlan::UniqueFd saved(capture ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) : -1);
    if (!capture || !saved || ::dup2(capture.get(), STDOUT_FILENO) < 0) {
        action(srv);
        return;
    }
    auto give_back = [&] {
        std::fflush(stdout);
        ::dup2(saved.get(), STDOUT_FILENO);
        ::lseek(capture.get(), 0, SEEK_SET);
        const std::string printed = Vexlan::FileUtils::read_all(capture.get()).value_or("");
        Vexlan::JsonLinesOutput records;
        for (const auto& line : Vexlan::Text::lines(printed))
            records.out(Vexlan::Text::escape_control(line, Vexlan::Text::Backslashes::Keep));
    };
    try {
        action(srv);
    } catch (...) {
        give_back();
        throw;
    }
    give_back();
}
}  // namespace

void set_invocation(const std::string& path) {
    g_invocation = path;
}
const std::string& invocation() {
    return g_invocation;
}

Vexlan::ServiceManager::Base* get_current_service() {
    return g_srv.get();
}
void release_current_service() {
    g_srv.reset();
}

bool _parent_is_systemd() {
    return ::getppid() == 1;
}

void _exit(int code) { Vexlan::request_exit(code); }

std::string audit_record(const std::vector<std::string>& args, int ppid, const std::string& parent_cmdline) {
    // One call is one line: an argument holding a newline must not forge a second record.
    std::vector<std::string> escaped;
    for (const auto& a : args) escaped.push_back(Vexlan::Text::escape_control(a));
    const std::string joined = fmt::format("{}", fmt::join(escaped, " "));
    return fmt::format("[{}] {}{}{} called by pid {}: {}\n", Vexlan::Time::localtime2timestamp(),
                       Vexlan::Text::escape_control(g_invocation), joined.empty() ? "" : " ", joined, ppid,
                       parent_cmdline);
}

void write_audit_record(const std::vector<std::string>& args) {
    const int ppid = ::getppid();
    // The audit log is root's record of who changed services; others change nothing.
    if (ppid <= 1 || ::geteuid() != 0 || any_arg_contains(args, NO_AUDIT_MARKER)) return;
    auto raw = Vexlan::FileUtils::read_file(fmt::format("/proc/{}/cmdline", ppid));
    std::string cmd = raw && !raw->empty() ? normalize_command_line(*raw) : "";
    if (cmd.empty()) cmd = "(unreadable command line)";
    const std::string path = Vexlan::Paths::get(Vexlan::Paths::Key::AuditLog);
    Vexlan::UniqueFd fd;
    if (Vexlan::FileUtils::ensure_owned_directory(Vexlan::Paths::get(Vexlan::Paths::Key::LogDir), 0700))
        fd = Vexlan::FileUtils::open_private_file(path, O_WRONLY | O_APPEND | O_CREAT);
    if (!fd) {
        // An unwritable audit log never fails the program; one planted by another user is
        // said, since root's record of changes then goes nowhere.
        if ((errno == EPERM || errno == ELOOP || errno == ENOTDIR) && !any_arg_is(args, Vexlan::RestartSrv::OPT_JSON))
            std::fprintf(stderr, "warn: the audit log “%s” is not used: %s\n", path.c_str(),
                         Vexlan::FileUtils::describe_open_error(errno).c_str());
        return;
    }
    // The record never stops the run: a full disk costs the record, not the restart.
    Vexlan::FileUtils::write_all(fd.get(), audit_record(args, ppid, cmd));
}

void _exit_if_triggered_by_systemd_term_or_kill_signal(const std::vector<std::string>& args) {
    std::string unit;
    for (const auto& a : args) {
        if (a.find("--systemd-service=") != std::string::npos) {
            unit = a;
            if (unit.starts_with("--systemd-service="))
                unit.erase(0, std::string("--systemd-service=").size());
            break;
        }
    }
    if (unit.empty() || !any_arg_contains(args, "--stop") || !_parent_is_systemd()) return;
    auto [active, code, signal] = Vexlan::RestartSrv::Systemd::get_code_and_signal_via_systemd(unit);
    if (active == "deactivating" && code == "killed" && (signal == "TERM" || signal == "KILL")) {
        std::fprintf(
            stderr,
            "warn: systemd already ended the main process of “%s” with SIG%s; there is nothing to stop.\n",
            unit.c_str(), signal.c_str());
        _exit(0);
    }
}

bool _show_startup_log_for_srv(Vexlan::ServiceManager::Base& srv) {
    auto& backend = srv.service_manager();
    Vexlan::Services::Log::Display display(srv.service_name(), srv.output_obj(),
                                           backend.service_via_systemd());
    return display.show_startup_log();
}

int _show_fpm_status() {
    if (g_invocation.find("apache_php_fpm") == std::string::npos || !g_srv) return 0;
    g_srv->status();
    std::fputs("\n", stdout);
    return 1;
}

int run(std::vector<std::string>& args) {
    // Password look-ups are cached per process by the process-table code itself.
    Vexlan::Services::Env::setup_env_for_starting_a_daemon();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    // INT and HUP (a closed terminal) need the handler only for a record to be written; the
    // kernel releases the lock of a process that dies.
    if (any_arg_is(args, Vexlan::RestartSrv::OPT_JSON)) {
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGHUP, &sa, nullptr);
    }

    if (g_invocation.find(DIRECT_CALL_MARKER) != std::string::npos)
        throw FatalError(
            "restartsrv_base must be invoked as restartsrv_<service>, start<service> or stop<service>, "
            "or as “restartsrv_base <service> [options]”.");
    auto named = service_from_invocation(g_invocation);
    if (!named)
        throw FatalError(
            fmt::format("The command name “{}” does not name a service (restartsrv_<service>, "
                        "start<service> or stop<service>).",
                        Vexlan::Text::escape_control(g_invocation)));
    const std::string action = named->action;
    std::string service = named->service;
    if ((service.empty() || service == PLACEHOLDER_SERVICE) && !args.empty()) {
        // "restartsrv_base <service> …": the first word names the service and is no action.
        service.clear();
        for (auto it = args.begin(); it != args.end(); ++it)
            if (!it->starts_with("-")) {
                service = *it;
                args.erase(it);
                break;
            }
    }
    if (asks_for_help_or_version(args)) {
        const bool help = any_arg_is(args, HELP_OPTION) || any_arg_is(args, SHORT_HELP_OPTION);
        g_meant.service = service;
        g_meant.action = help ? "help" : "version";
        const std::string text = help ? Vexlan::RestartSrv::Help::usage_text(service, custom_action_names(service))
                                      : Vexlan::RestartSrv::Help::version_text();
        if (any_arg_is(args, Vexlan::RestartSrv::OPT_JSON)) {
            // A reader of records gets the text as message records, then the result.
            Vexlan::JsonLinesOutput json_out;
            for (const auto& line : Vexlan::Text::lines(text)) json_out.out(line);
        } else {
            std::fputs(text.c_str(), stdout);
        }
        _exit(EXIT_OK);
    }

    // Bare action words are the options they stand for; any other bare word must be an
    // action of the service's class, or the run stops before anything is done.
    for (auto& a : args)
        if (auto option = Vexlan::RestartSrv::option_for_action_word(a)) a = *option;
    if (action == "stop") args.push_back("--stop");

    _exit_if_triggered_by_systemd_term_or_kill_signal(args);

    if (service.empty()) throw FatalError("No service was named.");
    if (Vexlan::RestartSrv::option_for_action_word(service))
        throw FatalError(fmt::format("“{}” is an action, not a service.", service));
    // A name that starts like an option would reach the init system as one.
    if (service.starts_with("-")) throw FatalError(fmt::format("“{}” is not a service name.", Vexlan::Text::escape_control(service, Vexlan::Text::Backslashes::Keep)));
    // "foo.service" and "foo" are one service: every query and command names the same unit.
    service = Vexlan::RestartSrv::Systemd::strip_unit_suffix(service);
    if (service == RESERVED_SERVICE)
        throw FatalError(
            "restartsrv_base must be invoked as restartsrv_<service>, start<service> or stop<service>, "
            "or as “restartsrv_base <service> [options]”.");

    // Changing a service means signalling other users' processes, talking to systemd's
    // private socket and writing root's state: refuse at once without root, before any
    // lock or log is touched, rather than report changes that never happened.
    const bool privileged = ::geteuid() == 0;
    g_meant.service = service;
    g_meant.action = action_meant(args, action);
    {
        // A malformed option (a mistyped attempt number) stops the run before any service
        // is looked at, let alone restarted.
        std::vector<std::string> rest;
        Vexlan::RestartSrv::parse_option_list(args, rest);
    }
    if (!privileged && changes_a_service(args)) throw FatalError(not_privileged_text(service), "NotPrivileged");
    if (any_arg_is(args, Vexlan::RestartSrv::OPT_JSON)) prepare_signal_record();

    bool handled_error = false;
    try {
        g_srv = Vexlan::ServiceManager::new_service({{"service", service}});
        auto& srv = *g_srv;

        std::optional<std::pair<std::string, Vexlan::ServiceManager::Base::CustomAction>> custom;
        auto table = srv.custom_actions();
        if (!table.empty()) {
            static const Vexlan::Regex kWord(R"(^(?:--)?([a-z]+)$)", Vexlan::Regex::CASELESS);
            for (const auto& a : args) {
                auto w = kWord.captures(a);
                if (!w) continue;
                if (auto it = table.find(Vexlan::Text::lower((*w)[1])); it != table.end()) {
                    custom.emplace((*w)[1], it->second);
                    break;
                }
            }
        }
        if (custom) {
            if (!privileged) throw FatalError(not_privileged_text(service), "NotPrivileged");
            srv.service_argv_action(custom->first);
            g_meant.action = Vexlan::Text::lower(custom->first);
            run_custom_action(srv, custom->second, any_arg_is(args, Vexlan::RestartSrv::OPT_JSON));
        } else {
            std::vector<std::string> full;
            if (!_parent_is_systemd()) full.push_back(DEFAULT_OPTION);
            full.insert(full.end(), args.begin(), args.end());
            srv.run_from_argv(full);
        }
        if (srv.verbose() == 1 && is_one_of(srv.service_argv_action(), {"RESTART", "START", "RELOAD"})) {
            srv.output_obj()->display_message_set("Service Status", status_body(srv));
            if (!any_arg_contains(args, NO_FPM_STATUS_MARKER)) _show_fpm_status();
        }
    } catch (const Exception::Base& e) {
        namespace K = Exception::Kinds;
        note_failure(e);
        if (!e.isa(K::ServicesFamily)) throw;
        if (e.isa(Exception::Kinds::Services::RoleDisabled)) throw FatalError(refusal_text(e));
        const bool not_set_up = e.isa(K::Services::NotConfigured) || e.isa(K::Services::NotInstalled);
        if (g_srv && not_set_up && any_arg_is(args, TOLERANCE_OPTION)) {
            // Tolerated: the run went as asked, and the record still says why nothing ran.
            if (!any_arg_is(args, Vexlan::RestartSrv::OPT_JSON)) std::fprintf(stderr, "%s\n", e.to_string().c_str());
            return EXIT_OK;
        }
        const bool no_block = not_set_up || e.isa(K::Services::Disabled);
        if (g_srv && g_srv->verbose() == 1 && !is_quiet_action(g_srv->service_argv_action()) && !no_block &&
            g_srv->output_obj()) {
            // The error's kind as a person reads it ("Start failed"); its identifier, in the
            // error block below, ties the screen to the log.
            const std::string kind = readable_error_kind(e.type());
            if (g_srv->output_obj()->writes_json_lines()) {
                g_srv->output_obj()->error(kind);
            } else {
                std::fputs((kind + "\n").c_str(), stdout);
                std::fflush(stdout);
            }
            g_srv->output_obj()->display_message_set("Service Status", fresh_status_body(*g_srv));
            g_srv->output_obj()->display_message_set("Service Error", e.to_string());
            handled_error = true;
        } else {
            throw FatalError(e.isa(K::Services::Disabled) ? "(" + e.id() + ") " + refusal_text(e) : e.to_string());
        }
    }

    auto& srv = *g_srv;
    // A stop that found nothing running has said so, once; there is no log of it to show.
    if (srv.found_nothing_to_stop()) return EXIT_OK;
    if (srv.verbose() == 1 && !is_quiet_action(srv.service_argv_action())) _show_startup_log_for_srv(srv);
    if (!handled_error) {
        if (srv.verbose() == 1 && srv.output_obj()) {
            std::string line = verdict_for(srv.service_argv_action(), srv.service());
            if (!line.empty()) srv.output_obj()->success(line);
        }
        return EXIT_OK;
    }
    if (srv.verbose() == 1 && srv.output_obj())
        srv.output_obj()->error(
            fmt::format("The {} of “{}” failed.", action_word(srv.service_argv_action()), srv.service()));
    return EXIT_HANDLED_SERVICE_ERROR;
}

namespace {
// The service as it is now, for a record whose run did not end with a fresh answer.
void look_at_service(Vexlan::ServiceManager::Base& srv, RunResult& r) {
    Vexlan::RestartSrv::Systemd::Bus::get().forget();
    try {
        const std::string line = srv.get_status_string();
        r.state = line.empty() ? State::Down : State::Up;
        if (!line.empty()) {
            auto facts = facts_of_status_line(line);
            r.main_pid = facts.main_pid;
            r.method = facts.method;
        }
    } catch (const Exception::Base& e) {
        r.state = e.isa(Exception::Kinds::Services::Down) ? state_for_error_kind(e.type()).value_or(State::Down)
                                                          : State::CannotTell;
    } catch (const std::exception&) {
        r.state = State::CannotTell;
    }
}

// Why a failed action failed, for the record: the reason its error carries, then the last
// line of this run's startup log (what the daemon itself said last), escaped.
std::string failure_reason_for_record(Vexlan::ServiceManager::Base& srv, const std::string& reason) {
    std::string text = reason;
    try {
        auto [ok, log] = Vexlan::Services::Log::fetch_service_startup_log(srv.service_name(),
                                                                         srv.service_manager().service_via_systemd());
        // The daemon's own last words, rather than systemd's lines about it (its result is
        // in the reason already), when it said anything.
        std::string last, last_own;
        for (const auto& line : Vexlan::Text::lines(log)) {
            if (line.find_first_not_of(" \t") == std::string::npos) continue;
            last = line;
            if (line.find(" systemd[1]: ") == std::string::npos) last_own = line;
        }
        if (!last_own.empty()) last = last_own;
        if (ok && !last.empty())
            text += (text.empty() ? "" : "\n") + std::string("The startup log ends: ") +
                    Vexlan::Text::escape_control(Vexlan::Text::trim(last));
    } catch (const std::exception&) {
        // A log that cannot be read costs the line, not the record.
    }
    return text;
}

// The last record of a run in JSON mode: what a fleet tool needs to decide, in one line.
// Every key is always there (null when it does not apply), so readers need no guessing.
void write_result_record(int status, std::chrono::system_clock::time_point started,
                         std::chrono::steady_clock::time_point t0) {
    RunResult r;
    r.exit = status;
    r.started = started;
    // A name as the caller typed it may hold what steers a terminal; a valid one is unchanged.
    r.service = Vexlan::Text::escape_control(g_srv ? g_srv->service() : g_meant.service, Vexlan::Text::Backslashes::Keep);
    r.action = g_meant.action;
    if (g_srv && !g_srv->service_argv_action().empty()) r.action = action_word(g_srv->service_argv_action());
    if (status != EXIT_OK && g_failure) {
        r.error_kind = error_kind_word(g_failure->kind);
        r.error_id = g_failure->id;
        r.message = g_failure->text;
        const bool action_failed = g_failure->kind.ends_with("Failed");
        if (g_srv && action_failed) r.reason = failure_reason_for_record(*g_srv, g_failure->reason);
        else r.reason = g_failure->reason;
        auto state = state_for_error_kind(g_failure->kind);
        if (g_srv && g_srv->stopped_before_refusal()) {
            // Refused, but not before the stop: that changed the service.
            r.acted = true;
            look_at_service(*g_srv, r);
        } else if (state) {
            r.state = *state;
        } else if (g_srv) {
            look_at_service(*g_srv, r);
        }
    } else if (status != EXIT_OK) {
        r.error_kind = status == EXIT_TERM ? "terminated" : "error";
        r.state = State::Error;
    } else if (r.action == "help" || r.action == "version") {
        r.state = State::CannotTell;  // no service was looked at
    } else if (g_failure) {
        // Tolerated (--notconfigured-ok): nothing ran, and the record says why.
        r.message = g_failure->text;
        r.state = state_for_error_kind(g_failure->kind).value_or(State::Error);
    } else if (g_srv) {
        const std::string line = g_srv->service_status();
        if (r.action == "stop") {
            r.state = State::Down;
        } else if (auto facts = facts_of_status_line(line); !facts.method.empty() && r.action != "status") {
            // The line the action confirmed its result by, moments ago.
            r.state = State::Up;
            r.main_pid = facts.main_pid;
            r.method = facts.method;
        } else {
            // No line that names how it was judged (a oneshot unit, a backend's restart):
            // look again rather than assume.
            look_at_service(*g_srv, r);
        }
        r.message = verdict_for(g_srv->service_argv_action(), g_srv->service());
        // A reload the service cannot do is accepted and does nothing; checks change nothing.
        const bool reload_not_done = r.action == "reload" && g_srv->service_argv_action().empty();
        r.acted = r.action != "check" && r.action != "status" && !reload_not_done && !g_srv->found_nothing_to_stop();
        if (r.action == "check" || r.action == "status") r.can_reload = g_srv->support_reload() != 0;
        if (reload_not_done) r.message = Vexlan::ServiceManager::Base::reload_unsupported_text(g_srv->service());
        if (g_srv->found_nothing_to_stop())
            r.message = Vexlan::ServiceManager::Base::nothing_to_stop_text(g_srv->service());
        if (r.message.empty()) r.message = line;
    } else {
        r.state = State::Error;
    }
    r.duration = std::chrono::steady_clock::now() - t0;
    std::fflush(stdout);
    Vexlan::JsonLinesOutput().write_record(result_record(r));
}

// The process starts from a known state: descriptors 0-2 open (a closed one would make the
// next file opened, a lock or a log, receive the program's output), and SIGPIPE ignored
// (a reader that leaves early must not kill the program between a stop and a start).
// Children get the default disposition back when they are started.
void prepare_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null_fd = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            ::dup2(null_fd, fd);
            ::close(null_fd);
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
}
}  // namespace

int main(const std::string& invocation_path, std::vector<std::string> args) {
    // What a concurrent restart is measured against: when this call was made.
    Vexlan::Time::request_time();
    prepare_process();
    set_invocation(invocation_path);
    // systemd takes a millisecond or two to accept and authenticate a new connection: start
    // it now, so that it happens while this process reads its configuration and logs the
    // call, rather than after.
    if (!asks_for_help_or_version(args)) Vexlan::RestartSrv::Systemd::Bus::get().reachable();
    const auto started = std::chrono::system_clock::now();
    const auto t0 = std::chrono::steady_clock::now();
    g_started = started;
    g_signal_record_t0_ms = monotonic_ms();
    write_audit_record(args);
    const bool json = any_arg_is(args, Vexlan::RestartSrv::OPT_JSON);
    int status;
    std::string error;
    try {
        status = run(args);
    } catch (const ExitRequest& e) {
        status = e.status();
    } catch (const FatalError& e) {
        error = e.what();
        if (!g_failure) g_failure = Failure{e.kind(), "", error, ""};
        status = EXIT_ERROR;
    } catch (const Exception::Base& e) {
        note_failure(e);
        error = e.to_string();
        status = EXIT_ERROR;
    } catch (const std::exception& e) {
        error = Exception::get_string(e);
        if (!g_failure) g_failure = Failure{"Generic", "", error, ""};
        status = EXIT_ERROR;
    }
    // In JSON mode the record carries the error: standard error stays quiet, so that a
    // reader of both streams together still reads nothing but JSON.
    if (!error.empty() && !json) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", error.c_str());
    }
    // From here on the run's own record is written: a late signal must not add a second.
    g_signal_record_ready = 0;
    if (json) write_result_record(status, started, t0);
    if (g_srv && g_srv->is_debug_enabled()) {
        // The program's own processor time, without the commands it ran.
        struct rusage self {};
        ::getrusage(RUSAGE_SELF, &self);
        auto ms = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
        };
        g_srv->debug(fmt::format(
            "own CPU time: {:.2f} ms (user {:.2f} ms, system {:.2f} ms); {} calls to systemd, {} child "
            "processes",
            ms(self.ru_utime) + ms(self.ru_stime), ms(self.ru_utime), ms(self.ru_stime),
            Vexlan::RestartSrv::Systemd::Bus::get().calls(), Vexlan::SafeRun::children_started()));
    }
    // The service object goes at every orderly exit, and with it the restart lock.
    std::fflush(stdout);
    release_current_service();
    return status;
}

}  // namespace scripts::restartsrv_base
