#pragma once
// The service object: one instance stands for one system service during one invocation.
// Attributes are stored in a name-to-value map; an option that is present always wins,
// false and empty included; otherwise an attribute's builder runs on first read and its
// result, empty included, is kept.
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Output/Output.hpp"
#include "ServiceManager/Manager/Backend.hpp"
#include "ServiceManager/Options.hpp"

namespace Vexlan {
class Logger;
namespace RestartSrv {
class Lock;
}
}  // namespace Vexlan

namespace Vexlan::RestartSrv {
struct CheckServiceArgs;
}

namespace Vexlan::ServiceManager {

class Base {
  public:
    explicit Base(const Options& options = Options::object());
    virtual ~Base();
    Base(const Base&) = delete;
    Base& operator=(const Base&) = delete;

    // Runs after construction (the factory calls it): sets the program search path and
    // takes the restart lock.
    virtual void BUILD();
    // Releases the lock, in the owning process only.
    void release();

    virtual std::string class_name() const { return "Vexlan::ServiceManager::Base"; }

    // ---- attributes ----
    std::string service();
    void service(const std::string& v) { set("service", v); }
    std::string service_name();
    std::optional<std::string> service_override();
    void service_override(const std::string& v) { set("service_override", v); }
    std::string service_to_suspend();
    void service_to_suspend(const std::string& v) { set("service_to_suspend", v); }
    int suspend_time();
    void suspend_time(int v) { set("suspend_time", v); }
    std::string service_argv_action();
    void service_argv_action(const std::string& v) { set("service_argv_action", v); }
    int verbose();
    void verbose(int v) { set("verbose", v); }
    std::string service_status();
    void service_status(const std::string& v) { set("service_status", v); }
    // What the run did to the service, beyond its verdict: a stop that found nothing
    // running changed nothing; a restart refused for a disabled service may have stopped it.
    bool found_nothing_to_stop() const { return found_nothing_to_stop_; }
    bool stopped_before_refusal() const { return stopped_before_refusal_; }
    std::optional<int> current_restart_attempt();
    void current_restart_attempt(std::optional<int> v);
    std::optional<int> restart_attempts();
    void restart_attempts(int v) { set("restart_attempts", v); }
    std::vector<int> ports();
    void ports(const std::vector<int>& v) { set("ports", v); }
    std::string pidfile();
    void pidfile(const std::string& v) { set("pidfile", v); }
    // Where the daemon's own configuration has it write its pidfile, when that is not the
    // pidfile waited for (systemd drives the daemon and its unit names none): a stale file
    // there still stops some daemons from starting.
    std::string configured_pidfile();
    void configured_pidfile(const std::string& v) { configured_pidfile_ = v; }
    std::string processowner();
    void processowner(const std::string& v) { set("processowner", v); }
    std::optional<std::string> command_line_regex();
    std::optional<std::string> pid_exe();
    void pid_exe(const std::string& v) { set("pid_exe", v); }
    int has_single_pid();
    bool is_vexlan_service();
    std::vector<std::string> startup_args();
    void startup_args(const std::vector<std::string>& v) { set("startup_args", v); }
    std::vector<std::string> restart_args();
    void restart_args(const std::vector<std::string>& v) { set("restart_args", v); }
    std::vector<std::string> shutdown_args();
    void shutdown_args(const std::vector<std::string>& v) { set("shutdown_args", v); }
    // Process names (a list) or {"pattern": "..."}; null when none.
    nlohmann::json doomed_rules();
    void doomed_rules(const nlohmann::json& v) { set("doomed_rules", v); }
    std::vector<std::string> service_package();
    void service_package(const nlohmann::json& v) { set("service_package", v); }
    std::string service_binary();
    void service_binary(const std::string& v) { set("service_binary", v); }
    int is_configured();
    void is_configured(int v) { set("is_configured", v); }
    std::string not_configured_reason();
    void not_configured_reason(const std::string& v) { set("not_configured_reason", v); }
    int is_enabled();
    void is_enabled(int v) { set("is_enabled", v); }
    int can_check_service_status();
    void can_check_service_status(int v) { set("can_check_service_status", v); }
    int support_reload();
    int graceful_by_default();
    void graceful_by_default(int v) { set("graceful_by_default", v); }
    int block_fresh_install();
    void block_fresh_install(int v) { set("block_fresh_install", v); }
    int call_with_force();
    void call_with_force(int v) { set("call_with_force", v); }
    int startup_timeout();
    int disable_output_partial();
    void disable_output_partial(int v) { set("disable_output_partial", v); }
    int _pretend_not_called_from_restart();
    void _pretend_not_called_from_restart(int v) { set("_pretend_not_called_from_restart", v); }
    pid_t _pid();
    RestartSrv::Lock* lock();
    std::shared_ptr<Logger> logger();
    const nlohmann::json& vxconf();
    Manager::Backend& service_manager();
    bool has_service_manager() const { return service_manager_ != nullptr; }

    // True when the attribute holds a value (from an option, a setter or a builder).
    bool has(const std::string& name) const { return attrs_.contains(name); }

    // ---- fields that are not attributes ----
    Output* output_obj() { return output_obj_.get(); }
    // The service's output object is what the person reads, for every layer below it too.
    void set_output_obj(std::unique_ptr<Output> obj);

    // ---- messaging ----
    void output(const std::string& text);
    void output_partial(const std::string& text);
    bool is_debug_enabled();
    void debug(const std::string& text);
    void info(const std::string& text);
    void warn(const std::string& text);

    // ---- extension points: empty optional = the object does not provide it ----
    virtual std::optional<bool> start_check() { return std::nullopt; }
    virtual std::optional<bool> stop_check() { return std::nullopt; }
    virtual std::optional<bool> restart_check() { return std::nullopt; }
    virtual std::optional<bool> restart_attempt(int) { return std::nullopt; }
    virtual std::optional<bool> pidfile_precheck() { return std::nullopt; }
    // Custom actions: lower-case word -> the action. The entry looks words up here.
    using CustomAction = std::function<void(Base&)>;
    virtual std::map<std::string, CustomAction> custom_actions() { return {}; }

    // ---- command interpreter ----
    virtual void run_from_argv(const std::vector<std::string>& args);
    // What a reload of a service that cannot reload says instead of a verdict.
    static std::string reload_unsupported_text(const std::string& service);
    static std::string nothing_to_stop_text(const std::string& service);
    // Why the last action failed: what it noted, or what the init system knows now.
    std::string failure_reason();
    // The answer of --status or --check: a line on standard output, or a record.
    void print_answer(const std::string& line);
    // The arguments of the current run; the backends look flags up here.
    const std::vector<std::string>& argv() const { return argv_; }
    void set_argv(std::vector<std::string> args) { argv_ = std::move(args); }

    // ---- flows ----
    // True (the status text, or "1" after a graceful or backend restart) when the
    // service runs afterwards; empty when a guard declined.
    // True once the service is up again (its status line is then in service_status()).
    virtual bool restart(std::optional<int> graceful = std::nullopt);
    virtual bool start();
    virtual bool stop();
    virtual bool reload();
    bool _called_from_restart();
    // A restart without a stop: the graceful signal of a Hot class, else the init system's
    // own restart; false when neither applies or neither brought the service back.
    bool _restart_in_place(std::optional<int> graceful);
    // The service's main process now: systemd's MainPID, else the pidfile's pid once it is
    // confirmed as the service's own.
    std::optional<pid_t> main_pid_now();
    // The status line when another call restarted (or started) the service after this one
    // was asked for, while this one waited for the restart lock, and it is up; else nothing.
    std::optional<std::string> _restarted_since_request();
    // The refusals a start can make (disabled, start_check, base installation, log
    // directory); false when the start would decline. Restart runs them before it stops.
    bool _start_would_proceed();
    // True when the service still runs STOP_CONFIRM_SECONDS after a stop said it was done.
    bool _still_up_after_stop();
    static constexpr double STOP_CONFIRM_SECONDS = 10;
    // How long a pidfile may name a process that is gone before the start counts as failed.
    static constexpr double PIDFILE_SETTLE_SECONDS = 2;
    void resetnice();
    void setrlimits();
    std::optional<int> kill_apps_on_ports(const std::vector<std::string>& exclude_ips = {});
    void _terminate_orphaned_processes();
    void _exit_if_block_fresh_install();
    int _service_is_role_aware_and_disabled();
    void _verify_role();
    // Ends the process with that status, by unwinding (Vexlan::request_exit), never ::_exit.
    [[noreturn]] void _exit(int code);

    [[noreturn]] void _generate_start_exception();
    [[noreturn]] void _generate_stop_exception();
    [[noreturn]] void _generate_restart_exception();
    [[noreturn]] void _generate_reload_exception();
    [[noreturn]] void _generate_is_down_exception();
    [[noreturn]] void _generate_disabled_exception();
    [[noreturn]] void _generate_not_configured_exception();
    [[noreturn]] void _generate_not_installed_exception();
    [[noreturn]] void _generate_binary_not_found_exception(int error);
    [[noreturn]] void _no_roles_exception();

    // ---- status and liveness ----
    static std::string _get_systemd_name(const std::string& name);
    std::string get_status_string();
    virtual std::string status();
    virtual bool check();
    std::pair<bool, std::string> check_with_message();
    // Waits until the service is up and has stayed up for the confirmation window (or
    // ran to completion); its status line, or empty when it failed or never came up.
    std::string wait_for_service_status(int attempt);
    // The confirmation window, in seconds: the main configuration's START_CONFIRM_KEY (in
    // milliseconds), START_CONFIRM_SECONDS without one, never less than the class asks.
    double start_confirm_seconds();
    static constexpr double START_CONFIRM_SECONDS = 1.0;
    static constexpr const char* START_CONFIRM_KEY = "restartsrv_start_confirm_ms";
    // How long a reloaded service must stay up with the same main process: the main
    // configuration's RELOAD_CONFIRM_KEY (milliseconds), else the start window.
    double reload_confirm_seconds();
    static constexpr const char* RELOAD_CONFIRM_KEY = "restartsrv_reload_confirm_ms";
    // How long a start may take to come up: the main configuration's START_TIMEOUT_KEY
    // (milliseconds), else START_TIMEOUT_SECONDS.
    static constexpr double START_TIMEOUT_SECONDS = 120;
    static constexpr const char* START_TIMEOUT_KEY = "restartsrv_start_timeout_ms";
    bool is_up(const std::string& via = "");
    int is_up_via_pidfile();
    bool check_sanity();
    // True when the pid is the service's own process: under systemd a process of the
    // unit's control group, otherwise one whose command line and owner are the service's
    // (the identity checks).
    bool pid_is_own_process(pid_t pid);
    // The daemon's running processes by the identity rules alone (its program, as its user;
    // only the top ones by the class's program), whatever its pidfile and script say.
    std::vector<pid_t> daemon_processes();
    // What the status check is told of the service: its name, user, pidfile and patterns.
    RestartSrv::CheckServiceArgs status_args();
    // Why a "down" answer could be wrong for this caller (an unprivileged user who cannot
    // ask systemd or see other users' processes); nothing when the answer is trustworthy.
    std::optional<std::string> status_cannot_be_told();
    bool uses_initd_option() const;

    // The words of the verbose progress line.
    static constexpr const char* PROGRESS_MARK = ".";
    static constexpr const char* SUCCESS_WORD = "Done";
    static constexpr const char* FAILURE_WORD = "Failed";

  protected:
    // Builders; per-service classes override them to give other defaults.
    virtual std::string _build_service();
    virtual int _build_is_enabled();
    virtual std::unique_ptr<RestartSrv::Lock> _build_lock();
    virtual std::unique_ptr<Manager::Backend> _build_service_manager();
    virtual std::string _build_service_binary();
    virtual std::string _build_pidfile() { return ""; }
    virtual std::vector<int> _build_ports() { return {}; }
    virtual std::optional<std::string> _build_command_line_regex() { return std::nullopt; }
    virtual std::optional<std::string> _build_pid_exe() { return std::nullopt; }
    // systemd's own answer (the unit has a reload command) for a unit; a class vouches for
    // an init script's reload.
    virtual int _build_support_reload();
    virtual int _build_can_check_service_status() { return 1; }
    virtual int _build_graceful_by_default() { return 1; }
    virtual int _build_startup_timeout() { return 10; }
    virtual int _build_is_configured() { return 1; }
    virtual std::optional<int> _build_restart_attempts() { return std::nullopt; }
    virtual bool _build_is_vexlan_service() { return false; }
    virtual std::vector<std::string> _build_startup_args() { return {}; }
    virtual std::vector<std::string> _build_restart_args() { return {}; }
    virtual std::vector<std::string> _build_shutdown_args() { return {}; }
    virtual nlohmann::json _build_doomed_rules() { return nullptr; }
    virtual nlohmann::json _build_service_package() { return nullptr; }
    virtual std::optional<std::string> _build_service_override() { return std::nullopt; }
    virtual int _build_block_fresh_install() { return 0; }
    virtual int _build_suspend_time() { return 600; }
    // A daemon known to die later than the panel's window after a bad start asks for more.
    virtual double _build_minimum_start_confirm_seconds() { return 0; }
    // A number of milliseconds from the main configuration, in seconds; `fallback` (with a
    // warning) when it is set but not a number.
    double configured_seconds(const char* key, double fallback);

    void set(const std::string& name, nlohmann::json value) { attrs_[name] = std::move(value); }
    // The stored value, or the builder's result stored on first read.
    const nlohmann::json& get(const std::string& name, const std::function<nlohmann::json()>& builder);

    bool restarting_ = false;  // set by restart() for the calls it makes
    bool preconditions_checked_ = false;

  private:
    void show_progress_word(bool ok, bool called_from_restart);

    nlohmann::json attrs_ = nlohmann::json::object();
    std::string configured_pidfile_;
    std::unique_ptr<RestartSrv::Lock> lock_;
    bool lock_built_ = false;
    std::shared_ptr<Logger> logger_;
    nlohmann::json vxconf_;
    bool vxconf_built_ = false;
    std::unique_ptr<Manager::Backend> service_manager_;
    std::unique_ptr<Output> output_obj_;
    Output* screen_before_ = nullptr;  // what the screen was before this object's output took it
    std::vector<std::string> argv_;
    std::string last_status_;
    bool verify_role_passed_ = false;
    bool found_nothing_to_stop_ = false;
    bool stopped_before_refusal_ = false;
};

// Builds an object of class T with the options and runs its BUILD.
template <class T>
std::unique_ptr<Base> make_service(const Options& options) {
    auto obj = std::make_unique<T>(options);
    obj->BUILD();
    return obj;
}

}  // namespace Vexlan::ServiceManager
