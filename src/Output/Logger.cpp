#include "Output/Logger.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Output/Carp.hpp"
#include "Output/Debug.hpp"
#include "Output/Output.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"
#include "Util/Time.hpp"

extern char* program_invocation_name;

namespace Vexlan {

namespace {
std::map<std::string, std::shared_ptr<Logger>>& stash() {
    static std::map<std::string, std::shared_ptr<Logger>> m;
    return m;
}

bool marker_once(Paths::Key key, std::optional<bool>& cache) {
    if (!cache) cache = FileUtils::exists(Paths::get(key));
    return *cache;
}

// True when the parent is the panel's web daemon, whose standard error is its own log.
bool is_subprocess_of_vxsrvd() {
    auto comm = FileUtils::read_first_line("/proc/" + std::to_string(::getppid()) + "/comm");
    return comm && comm->starts_with("vxsrvd");
}
// A message framed for one line: every entry of the log begins with its time stamp, so a
// reader (or grep) that finds one line of it has found all of it.
std::string one_line(std::string_view message) {
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.remove_suffix(1);
    std::string out;
    out.reserve(message.size());
    for (char c : message) {
        if (c == '\r') continue;
        if (c == '\n')
            out += " | ";
        else
            out += c;
    }
    return out;
}
}  // namespace

std::string LoggerArgs::signature() const {
    return fmt::format("alternate_logfile={};backtrace={};log_pid={};open_now={};timestamp_prefix={};use_no_files={};use_stdout={}",
                       alternate_logfile, backtrace ? (*backtrace ? "1" : "0") : "", log_pid, open_now, timestamp_prefix,
                       use_no_files, use_stdout);
}

std::shared_ptr<Logger> Logger::create(const LoggerArgs& args) {
    if (args.open_now && args.use_no_files)
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“open_now” and “use_no_files” cannot be combined."}});
    if (args.no_load_from_cache) return std::make_shared<Logger>(args);
    auto& s = stash();
    auto key = args.signature();
    if (auto it = s.find(key); it != s.end()) {
        ++it->second->cloned_;
        return it->second;
    }
    auto logger = std::make_shared<Logger>(args);
    s[key] = logger;
    return logger;
}

void Logger::clear_singleton_stash() { stash().clear(); }

Logger::Logger(const LoggerArgs& args) : args_(args) {
    if (ENABLE_BACKTRACE)
        backtrace_ = *ENABLE_BACKTRACE;
    else if (args.backtrace)
        backtrace_ = *args.backtrace;
    else
        backtrace_ = FileUtils::exists(Paths::get(Paths::Key::BacktraceMarker));
    if (args.open_now && !args.use_no_files) ensure_open();
}

Logger::~Logger() {
    if (owns_fd_ && log_fd_ >= 0) ::close(log_fd_);
}

std::string Logger::log_path() const {
    return args_.alternate_logfile.empty() ? Paths::get(Paths::Key::ErrorLog) : args_.alternate_logfile;
}

bool Logger::ensure_open() {
    if (log_fd_ >= 0) return true;
    std::string path = log_path();
    if (path == Paths::get(Paths::Key::ErrorLog) && is_subprocess_of_vxsrvd()) {
        log_fd_ = 2;
        using_stderr_ = true;
        return true;
    }
    UniqueFd fd;
    if (FileUtils::ensure_owned_directory(path.substr(0, path.rfind('/')), 0700))
        fd = FileUtils::open_private_file(path, O_WRONLY | O_APPEND | O_CREAT);
    if (!fd) {
        log_fd_ = 2;
        using_stderr_ = true;
        return true;
    }
    log_fd_ = fd.release();
    owns_fd_ = true;
    return true;
}

bool Logger::set_fh(int fd) {
    if (owns_fd_ && log_fd_ >= 0 && log_fd_ != fd) ::close(log_fd_);
    log_fd_ = fd;
    owns_fd_ = false;
    using_stderr_ = fd == 2;
    return true;
}

std::string Logger::backtrace(const std::string& message) const { return Carp::safe_longmess(message); }

bool Logger::logger(Record r) {
    ErrnoGuard keep;
    if (DISABLE_OUTPUT) r.output = 0;
    const bool with_trace = r.backtrace.value_or(backtrace_);
    std::string text = with_trace ? Carp::safe_longmess(r.message) : one_line(r.message);
    if (text.empty() || text.back() != '\n') text += '\n';

    std::string stamp, line;
    if (r.level == "raw") {
        line = r.message;
    } else {
        stamp = Time::localtime2timestamp();
        if (r.service.empty()) r.service = find_progname();
        line = "[" + stamp + "] " + r.level + " [" + r.service + "] " + (args_.log_pid ? fmt::format("[{}] ", ::getpid()) : "") + text;
    }

    bool status = true;
    if (!r.use_no_files && !args_.use_no_files) {
        int fd = 2;
        if (!ALWAYS_OUTPUT_TO_STDERR) {
            ensure_open();
            fd = log_fd_;
        }
        // One write per line: lines from this process and its children never interleave.
        if (!FileUtils::write_all(fd, line)) status = false;
        if (r.level == "panic" || r.level == "invalid" || r.level == "deprecated") {
            UniqueFd panic;
            if (FileUtils::ensure_owned_directory(Paths::get(Paths::Key::LogDir), 0700))
                panic = FileUtils::open_private_file(Paths::get(Paths::Key::PanicLog), O_WRONLY | O_APPEND | O_CREAT);
            if (panic) FileUtils::write_all(panic.get(), "[" + stamp + "] " + r.level + " [" + r.service + "] " + text);
        }
    }

    if (r.output) {
        std::string short_form = r.use_fullmsg ? line : r.level + " [" + r.service + "] " + text;
        if (args_.timestamp_prefix && !r.use_fullmsg) short_form = "[" + stamp + "] " + short_form;
        // Never inside a progress line on the screen: end it first.
        const bool shown = r.output == 2 || r.output == 3 || (r.output == 1 && (args_.use_stdout || ::isatty(1)));
        if (shown && Output::screen_line_open) {
            FileUtils::write_all(1, "\n");
            Output::screen_line_open = false;
        }
        if (r.output == 3) {
            FileUtils::write_all(1, short_form);
            FileUtils::write_all(2, short_form);
        } else if (r.output == 1) {
            if (args_.use_stdout || ::isatty(1)) FileUtils::write_all(1, short_form);
        } else if (r.output == 2) {
            FileUtils::write_all(2, short_form);
        }
    }

    if (r.die || r.level == "die" || r.level == "panic")
        throw Exception::create(Exception::Kinds::Generic, {{"message", fmt::format("{} [{}] {}", r.level, ::getpid(), r.message)}});
    return status;
}

bool Logger::info(const std::string& m) { return logger({m, "info", args_.open_now ? 0 : 1, false, "", false, false, false}); }
bool Logger::warn(const std::string& m) { return logger({m, "warn", ::isatty(0) ? 2 : 0, std::nullopt, "", false, false, false}); }
bool Logger::error(const std::string& m) { return logger({m, "error", ::isatty(0) ? 2 : 0, std::nullopt, "", false, false, false}); }
void Logger::die(const std::string& m) {
    logger({m, "die", ::isatty(0) ? 2 : 0, std::nullopt, "", true, false, false});
    throw Exception::create(Exception::Kinds::Generic, {{"message", m}});  // unreachable: logger raised
}
void Logger::panic(const std::string& m) {
    logger({m, "panic", 2, std::nullopt, "", true, false, false});
    throw Exception::create(Exception::Kinds::Generic, {{"message", m}});
}
bool Logger::invalid(const std::string& m) { return logger({m, "invalid", 0, std::nullopt, "", false, false, false}); }
bool Logger::deprecated(const std::string& m) { return logger({m, "deprecated", 0, std::nullopt, "", false, false, false}); }
bool Logger::raw(const std::string& m) { return logger({m, "raw", 0, false, "", false, false, false}); }

std::optional<Logger::Record> Logger::debug(const std::string& message, const DebugConfig& config) {
    if (!config.force && Debug::debug_level() == 0) return std::nullopt;
    std::string text = message;
    static const Regex kNumeric(R"(\A[-+]?[0-9.]+\z)");
    if (text.empty())
        text = "debug called without a message";
    else if (kNumeric.match(text))
        text = "«" + text + "»";
    Record r{text, "debug", config.output, config.backtrace, "", false, false, false};
    logger(r);
    return r;
}

bool Logger::vxlog(const std::string& message, const std::string& level, const std::string& service, bool quiet) {
    return logger({message, level, quiet ? 0 : 1, std::nullopt, service, false, false, false});
}

namespace {
std::optional<bool> g_sandbox, g_smoker;
}
void Logger::clear_marker_cache() {
    g_sandbox.reset();
    g_smoker.reset();
}
bool Logger::is_sandbox() { return marker_once(Paths::Key::SandboxMarker, g_sandbox); }
bool Logger::is_smoker() { return marker_once(Paths::Key::SmokerMarker, g_smoker); }

std::string Logger::progname_from(const std::string& invocation) {
    std::string name = invocation;
    if (auto slash = name.rfind('/'); slash != std::string::npos && slash > 0 && slash + 1 < name.size())
        name = name.substr(slash + 1);
    if (auto dot = name.find('.'); dot != std::string::npos && dot + 1 < name.size()) name.resize(dot);
    if (auto space = name.find(' '); space != std::string::npos) name.resize(space);
    return name;
}

std::string Logger::find_progname() {
    static pid_t cached_pid = 0;
    static std::string cached;
    if (cached_pid == ::getpid()) return cached;
    cached = progname_from(program_invocation_name ? program_invocation_name : "");
    if (cached.empty()) cached = "restartsrv_base";
    cached_pid = ::getpid();
    return cached;
}

bool Logger::redirect_stderr_to_error_log() {
    if (!FileUtils::ensure_owned_directory(Paths::get(Paths::Key::LogDir), 0700)) return false;
    UniqueFd fd = FileUtils::open_private_file(Paths::get(Paths::Key::ErrorLog), O_WRONLY | O_APPEND | O_CREAT);
    if (!fd) return false;
    return ::dup2(fd.get(), 2) == 2;
}

}  // namespace Vexlan
