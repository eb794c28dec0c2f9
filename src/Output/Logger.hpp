#pragma once
// Diagnostic lines for the panel's error log, mirrored to standard output or error by
// level, the gravest also to the panic log; die and panic raise after logging.
#include <memory>
#include <optional>
#include <string>

#include "SafeRun/Extra.hpp"

namespace Vexlan {

struct LoggerArgs {
    bool open_now = false;
    bool use_no_files = false;
    bool no_load_from_cache = false;
    std::string alternate_logfile;
    bool log_pid = false;
    bool timestamp_prefix = false;
    bool use_stdout = false;
    std::optional<bool> backtrace;
    // The signature that shares objects: the sorted key=value pairs.
    std::string signature() const;
};

class Logger : public SafeRun::LineLogger {
public:
    struct Record {
        std::string message = "Something is wrong";
        std::string level;
        int output = 0;  // 0 none, 1 stdout, 2 stderr, 3 both
        std::optional<bool> backtrace;
        std::string service;
        bool die = false;
        bool use_no_files = false;
        bool use_fullmsg = false;
    };
    struct DebugConfig {
        bool force = false;
        int output = 1;
        bool backtrace = false;
    };

    // Process-wide settings.
    static inline std::optional<bool> ENABLE_BACKTRACE;
    static inline bool DISABLE_OUTPUT = false;
    static inline bool ALWAYS_OUTPUT_TO_STDERR = false;

    // One shared object per argument signature, unless no_load_from_cache.
    static std::shared_ptr<Logger> create(const LoggerArgs& args = {});
    static void clear_singleton_stash();

    bool info(const std::string& message);
    bool warn(const std::string& message);
    bool error(const std::string& message);
    [[noreturn]] void die(const std::string& message);
    [[noreturn]] void panic(const std::string& message);
    bool invalid(const std::string& message);
    bool deprecated(const std::string& message);
    bool raw(const std::string& message);
    std::optional<Record> debug(const std::string& message) { return debug(message, DebugConfig()); }
    std::optional<Record> debug(const std::string& message, const DebugConfig& config);
    bool logger(Record record);
    bool vxlog(const std::string& message, const std::string& level, const std::string& service, bool quiet);

    void log_line(const std::string& line) override { info(line); }

    bool get_backtrace() const { return backtrace_; }
    int get_fh() const { return log_fd_; }
    bool set_fh(int fd);
    unsigned cloned() const { return cloned_; }
    std::string backtrace(const std::string& message) const;

    static bool is_sandbox();
    static bool is_smoker();
    // Test hook: forget the cached marker answers.
    static void clear_marker_cache();
    // The program's name without directory, extension or arguments; cached per pid.
    static std::string find_progname();
    static std::string progname_from(const std::string& invocation);
    // Reopens standard error onto the standard log file, appending.
    static bool redirect_stderr_to_error_log();

    explicit Logger(const LoggerArgs& args);
    ~Logger() override;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

private:
    bool ensure_open();
    std::string log_path() const;

    LoggerArgs args_;
    bool backtrace_ = false;
    int log_fd_ = -1;
    bool owns_fd_ = false;
    bool using_stderr_ = false;
    unsigned cloned_ = 0;
};

}  // namespace Vexlan
