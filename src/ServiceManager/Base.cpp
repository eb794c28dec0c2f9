#include "ServiceManager/Base.hpp"

#include <unistd.h>

#include <chrono>

#include <fmt/format.h>

#include "Binaries/Binaries.hpp"
#include "Config/LoadVxConf.hpp"
#include "Exception/Exception.hpp"
#include "Output/Logger.hpp"
#include "RestartSrv/Legacy.hpp"
#include "Lock/Lock.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Services/Enabled.hpp"
#include "Util/Number.hpp"
#include "Util/Regex.hpp"
#include "Util/Text.hpp"

namespace Vexlan::ServiceManager {

namespace {
// Every attribute is also a constructor option; other options are ignored.
const char* const kAttributes[] = {"service",
                                   "service_name",
                                   "service_override",
                                   "service_to_suspend",
                                   "suspend_time",
                                   "service_argv_action",
                                   "verbose",
                                   "service_status",
                                   "current_restart_attempt",
                                   "restart_attempts",
                                   "ports",
                                   "pidfile",
                                   "processowner",
                                   "command_line_regex",
                                   "pid_exe",
                                   "has_single_pid",
                                   "is_vexlan_service",
                                   "startup_args",
                                   "restart_args",
                                   "shutdown_args",
                                   "doomed_rules",
                                   "service_package",
                                   "service_binary",
                                   "is_configured",
                                   "not_configured_reason",
                                   "is_enabled",
                                   "can_check_service_status",
                                   "support_reload",
                                   "graceful_by_default",
                                   "block_fresh_install",
                                   "call_with_force",
                                   "startup_timeout",
                                   "disable_output_partial",
                                   "_pretend_not_called_from_restart",
                                   "_pid",
                                   "lock",
                                   "logger",
                                   "vxconf",
                                   "service_manager"};

// The fallback name of the lock of an object without a service name.
constexpr const char* kFallbackLockName = "base";

std::string str(const nlohmann::json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "";
    if (v.is_boolean()) return v.get<bool>() ? "1" : "";
    return v.dump();
}
int num(const nlohmann::json& v) {
    if (v.is_number()) return v.get<int>();
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_string()) {
        const auto& text = v.get_ref<const std::string&>();
        // A number given as text; any other non-empty text is a true value.
        return Number::parse<int>(text).value_or(text.empty() ? 0 : 1);
    }
    return 0;
}
std::vector<std::string> strings(const nlohmann::json& v) {
    std::vector<std::string> out;
    if (v.is_array())
        for (const auto& e : v) out.push_back(str(e));
    else if (!v.is_null())
        out.push_back(str(v));
    return out;
}
std::optional<double> g_debug_start;
}  // namespace

Base::Base(const Options& options) {
    if (!options.is_object() && !options.is_null())
        throw Exception::create(Exception::Kinds::Generic,
                                {{"message", "A service object is built from named options."}});
    if (options.is_object())
        for (const char* name : kAttributes)
            if (options.contains(name) && std::string(name) != "lock" && std::string(name) != "logger")
                attrs_[name] = options[name];
    // Eager defaults.
    if (!attrs_.contains("processowner")) attrs_["processowner"] = "root";
    if (!attrs_.contains("has_single_pid")) attrs_["has_single_pid"] = 1;
    if (!attrs_.contains("_pid")) attrs_["_pid"] = ::getpid();
}

Base::~Base() {
    if (output_obj_ && Output::screen == output_obj_.get()) Output::screen = screen_before_;
    release();
}

void Base::set_output_obj(std::unique_ptr<Output> obj) {
    const bool ours = output_obj_ && Output::screen == output_obj_.get();
    if (!ours) screen_before_ = Output::screen;
    output_obj_ = std::move(obj);
    Output::screen = output_obj_ ? output_obj_.get() : screen_before_;
}

void Base::BUILD() {
    debug(fmt::format("Building the service object for “{}”.", service()));
    RestartSrv::setuppath();
    // Whatever was learnt while another call held the lock (the factory asked systemd
    // about the unit) may have changed by now: every question after it is asked afresh.
    if (auto* held = lock(); held && held->waited()) RestartSrv::Systemd::Bus::get().forget();
}

void Base::release() {
    // A child that inherited the object never releases the parent's lock.
    if (lock_ && ::getpid() == _pid()) lock_->release();
}

const nlohmann::json& Base::get(const std::string& name, const std::function<nlohmann::json()>& builder) {
    auto it = attrs_.find(name);
    if (it != attrs_.end()) return *it;
    attrs_[name] = builder();
    return attrs_[name];
}

std::string Base::service() {
    return str(get("service", [this] { return _build_service(); }));
}
std::string Base::service_name() {
    return str(get("service_name", [this]() -> nlohmann::json {
        auto o = service_override();
        return o && !o->empty() ? *o : service();
    }));
}
std::optional<std::string> Base::service_override() {
    const auto& v = get("service_override", [this]() -> nlohmann::json {
        auto o = _build_service_override();
        return o ? nlohmann::json(*o) : nlohmann::json();
    });
    if (v.is_null()) return std::nullopt;
    return str(v);
}
std::string Base::service_to_suspend() {
    return str(get("service_to_suspend", [this] { return service(); }));
}
int Base::suspend_time() {
    return num(get("suspend_time", [this] { return _build_suspend_time(); }));
}
std::string Base::service_argv_action() {
    return str(get("service_argv_action", [] { return ""; }));
}
int Base::verbose() {
    return num(get("verbose", [] { return 0; }));
}
std::string Base::service_status() {
    return str(get("service_status", [] { return ""; }));
}
std::optional<int> Base::current_restart_attempt() {
    auto it = attrs_.find("current_restart_attempt");
    if (it == attrs_.end() || it->is_null()) return std::nullopt;
    return num(*it);
}
void Base::current_restart_attempt(std::optional<int> v) {
    attrs_["current_restart_attempt"] = v ? nlohmann::json(*v) : nlohmann::json();
}
std::optional<int> Base::restart_attempts() {
    const auto& v = get("restart_attempts", [this]() -> nlohmann::json {
        auto r = _build_restart_attempts();
        return r ? nlohmann::json(*r) : nlohmann::json();
    });
    if (v.is_null()) return std::nullopt;
    return num(v);
}
std::vector<int> Base::ports() {
    const auto& v = get("ports", [this] { return _build_ports(); });
    std::vector<int> out;
    if (v.is_array())
        for (const auto& p : v) out.push_back(num(p));
    return out;
}
std::string Base::pidfile() {
    return str(get("pidfile", [this] { return _build_pidfile(); }));
}
std::string Base::configured_pidfile() {
    const std::string waited_for = pidfile();  // building it notes the configured one
    return configured_pidfile_.empty() ? waited_for : configured_pidfile_;
}
std::string Base::processowner() {
    return str(get("processowner", [] { return "root"; }));
}
std::optional<std::string> Base::command_line_regex() {
    const auto& v = get("command_line_regex", [this]() -> nlohmann::json {
        auto r = _build_command_line_regex();
        return r ? nlohmann::json(*r) : nlohmann::json();
    });
    if (v.is_null() || str(v).empty()) return std::nullopt;
    return str(v);
}
std::optional<std::string> Base::pid_exe() {
    const auto& v = get("pid_exe", [this]() -> nlohmann::json {
        auto r = _build_pid_exe();
        return r ? nlohmann::json(*r) : nlohmann::json();
    });
    if (v.is_null() || str(v).empty()) return std::nullopt;
    return str(v);
}
int Base::has_single_pid() {
    return num(get("has_single_pid", [] { return 1; }));
}
bool Base::is_vexlan_service() {
    return num(get("is_vexlan_service", [this] { return _build_is_vexlan_service(); })) != 0;
}
std::vector<std::string> Base::startup_args() {
    return strings(get("startup_args", [this] { return _build_startup_args(); }));
}
std::vector<std::string> Base::restart_args() {
    return strings(get("restart_args", [this] { return _build_restart_args(); }));
}
std::vector<std::string> Base::shutdown_args() {
    return strings(get("shutdown_args", [this] { return _build_shutdown_args(); }));
}
nlohmann::json Base::doomed_rules() {
    return get("doomed_rules", [this] { return _build_doomed_rules(); });
}
std::vector<std::string> Base::service_package() {
    return strings(get("service_package", [this] { return _build_service_package(); }));
}
std::string Base::service_binary() {
    return str(get("service_binary", [this] { return _build_service_binary(); }));
}
int Base::is_configured() {
    return num(get("is_configured", [this] { return _build_is_configured(); }));
}
std::string Base::not_configured_reason() {
    return str(get("not_configured_reason", [] { return ""; }));
}
int Base::is_enabled() {
    return num(get("is_enabled", [this] { return _build_is_enabled(); }));
}
int Base::can_check_service_status() {
    return num(get("can_check_service_status", [this] { return _build_can_check_service_status(); }));
}
int Base::_build_support_reload() {
    auto props = service_manager().service_via_systemd();
    if (!props) return 0;
    auto it = props->find("CanReload");
    return it != props->end() && it->second == "yes" ? 1 : 0;
}

int Base::support_reload() {
    return num(get("support_reload", [this] { return _build_support_reload(); }));
}
int Base::graceful_by_default() {
    return num(get("graceful_by_default", [this] { return _build_graceful_by_default(); }));
}
int Base::block_fresh_install() {
    return num(get("block_fresh_install", [this] { return _build_block_fresh_install(); }));
}
int Base::call_with_force() {
    return num(get("call_with_force", [] { return 0; }));
}
int Base::startup_timeout() {
    return num(get("startup_timeout", [this] { return _build_startup_timeout(); }));
}
int Base::disable_output_partial() {
    return num(get("disable_output_partial", [] { return 0; }));
}
int Base::_pretend_not_called_from_restart() {
    return num(get("_pretend_not_called_from_restart", [] { return 0; }));
}
pid_t Base::_pid() {
    return num(get("_pid", [] { return ::getpid(); }));
}

RestartSrv::Lock* Base::lock() {
    if (!lock_built_) {
        lock_built_ = true;
        lock_ = _build_lock();
    }
    return lock_.get();
}

std::shared_ptr<Logger> Base::logger() {
    if (!logger_) logger_ = Logger::create();
    return logger_;
}

const nlohmann::json& Base::vxconf() {
    // The main configuration, for per-service classes; the generic code does not read it.
    if (!vxconf_built_) {
        vxconf_ = nlohmann::json::object();
        for (const auto& [k, v] : Config::LoadVxConf::loadvxconf_not_copy()) vxconf_[k] = v;
        vxconf_built_ = true;
    }
    return vxconf_;
}

Manager::Backend& Base::service_manager() {
    if (!service_manager_) service_manager_ = _build_service_manager();
    return *service_manager_;
}

std::string Base::_build_service() {
    static const Regex kClass(R"(^Vexlan::ServiceManager::Services::(.+)$)");
    auto m = kClass.captures(class_name());
    if (!m) return "";
    return Text::lower((*m)[1]);
}

int Base::_build_is_enabled() {
    return Services::Enabled::is_enabled(service()) ? 1 : 0;
}

std::unique_ptr<RestartSrv::Lock> Base::_build_lock() {
    // Under PID 1 the init system orders invocations itself; without root there is no lock.
    if (::getppid() == 1 || ::geteuid() != 0) return nullptr;
    std::string name = service();
    if (name.empty()) name = kFallbackLockName;
    auto lock = RestartSrv::Lock::create(name);
    if (!lock)
        throw Exception::create(Exception::Kinds::Generic,
                                {{"message", "The restart lock for “" + name + "” could not be created."}});
    return lock;
}

std::string Base::_build_service_binary() {
    // A program nobody knows is simply no binary.
    return Binaries::find(Text::lower(service())).value_or("");
}

// ---- messaging ----

void Base::output(const std::string& text) {
    if (output_obj_) output_obj_->out(text, Output::SOURCE_LOCAL, Output::COMPLETE_MESSAGE);
}

void Base::output_partial(const std::string& text) {
    if (disable_output_partial()) return;
    if (output_obj_) output_obj_->out(text, Output::SOURCE_LOCAL, Output::PARTIAL_MESSAGE);
}

bool Base::is_debug_enabled() {
    return verbose() == 2;
}

void Base::debug(const std::string& text) {
    if (!is_debug_enabled()) return;
    double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    if (!g_debug_start) g_debug_start = now;
    logger()->info(fmt::format("[+{:.6f}s] {}", now - *g_debug_start, text));
}

void Base::info(const std::string& text) {
    if (is_debug_enabled())
        debug(text);
    else
        logger()->info(text);
}

void Base::warn(const std::string& text) {
    if (is_debug_enabled())
        debug(text);
    else
        logger()->warn(text);
}

}  // namespace Vexlan::ServiceManager
