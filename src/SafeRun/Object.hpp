#pragma once
// Runs one program with an argument vector (never a shell): feeds its standard input,
// captures or redirects its output, enforces time-outs, kills and reaps it, and answers
// with a run result. Exactly one child per run, always reaped before the constructor
// returns.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SafeRun/Child.hpp"
#include "SafeRun/ChildErrorStringifier.hpp"
#include "SafeRun/Handle.hpp"

namespace Vexlan::SafeRun {

struct Options {
    std::string program;
    std::vector<std::string> args;
    std::optional<double> timeout;       // overall, seconds; 0 = none; default 3600
    std::optional<double> read_timeout;  // per read, seconds; 0 = none; default 0
    InputSpec stdin_input;
    std::optional<OutputHandle> stdout_handle;
    std::optional<OutputHandle> stderr_handle;
    std::function<void()> before_exec;  // runs in the child; forces the fork path
    std::function<void(pid_t)> after_fork;
    bool keep_env = false;
    // The child leads a process group of its own, so that a time-out ends what it started
    // as well; a daemon that made itself a session leader is outside it and untouched.
    bool own_process_group = true;
    // The child starts a new session (and so leads a new process group): it has no
    // controlling terminal, as a daemon's starter must not.
    bool new_session = false;
    std::optional<std::string> user;
    std::optional<std::string> homedir;
    bool logger = false;  // belongs to the Extra front end; refused here
};

class Object : public ChildErrorStringifier {
public:
    static constexpr double DEFAULT_TIMEOUT = 3600;
    static constexpr double DEFAULT_READ_TIMEOUT = 0;
    static constexpr size_t CHUNK_SIZE = 131072;
    static constexpr double SAFEKILL_TIMEOUT = 1;

    explicit Object(Options options);
    ~Object();
    Object(Object&&) noexcept;
    static Object new_or_die(Options options);

    // Captured text; throws when that stream was not captured.
    const std::string& stdout_text() const;
    const std::string& stderr_text() const;
    bool stdout_captured() const { return stdout_.has_value(); }
    bool stderr_captured() const { return stderr_.has_value(); }

    pid_t child_pid() const { return child_pid_; }
    // The time-out that ended the run, or empty.
    std::optional<double> timed_out() const { return timed_out_after_; }
    std::string program() const override { return program_; }
    const std::vector<std::string>& args() const { return args_; }
    std::string command_line() const;

    std::optional<Exception::Base> to_exception() const override;

    // Test hook: forces the fork path even without before_exec.
    static void force_fork_path(bool on);

protected:
    std::string error_phrase() const override;
    std::string signal_phrase() const override;
    std::vector<std::string> additional_phrases_for_autopsy() const override;
    Exception::Fields extra_error_args_for_die_if_error() const override;

private:
    struct Streams;
    void run(Options& options);
    // The steps of a run, in order.
    static void validate(const Options& o);
    Streams plumb(Options& o);
    void spawn(Options& o, Streams& streams);
    void feed(Streams& streams);
    void collect(const Options& o, Streams& streams, double timeout, double read_timeout);
    void reap(double timeout);
    void spawn_fast(Options& o, Streams& streams, std::vector<char*>& argv);
    void spawn_forked(Options& o, Streams& streams, std::vector<char*>& argv);
    void end_child();

    std::string program_;
    std::vector<std::string> args_;
    pid_t child_pid_ = 0;
    std::unique_ptr<Child> child_;
    double started_at_ = 0;
    bool fast_path_ = false;
    std::optional<double> timed_out_after_;
    std::optional<std::string> stdout_;
    std::optional<std::string> stderr_;
};

}  // namespace Vexlan::SafeRun
