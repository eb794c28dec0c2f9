#include "ServiceManager/Manager/Initd.hpp"

#include <fcntl.h>

#include <fmt/format.h>

#include "RestartSrv/Initd.hpp"
#include "SafeRun/Object.hpp"
#include "ServiceManager/Base.hpp"
#include "Util/Env.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Validate.hpp"

namespace Vexlan::ServiceManager::Manager {

Initd::Initd(std::string service, bool executed_by_systemd)
    : service_(std::move(service)), executed_by_systemd_(executed_by_systemd) {}

const std::optional<std::string>& Initd::init_script() {
    if (!script_looked_up_) {
        script_looked_up_ = true;
        init_script_ = RestartSrv::getinitfile(service_);
    }
    return init_script_;
}

std::optional<int> Initd::run_script(Base& svc, const std::string& action, bool wipe_log) {
    const auto& script = init_script();
    if (!script) return std::nullopt;
    SafeRun::Options o;
    o.program = *script;
    o.args = {action};
    o.timeout = 600;
    o.keep_env = true;
    UniqueFd log;
    if (Validate::is_valid_filesystem_node_name(service_)) {
        std::string dir = Paths::get(Paths::Key::StartupLogDir);
        FileUtils::make_dirs(dir, 0700);
        log = FileUtils::sysopen_with_real_perms(dir + "/" + service_, O_WRONLY | O_CREAT | (wipe_log ? O_TRUNC : O_APPEND), 0600);
    }
    if (!log) log.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    o.stdout_handle = SafeRun::OutputHandle{SafeRun::Fd{log.get()}};
    o.stderr_handle = o.stdout_handle;
    Env::set_safe_path();
    SafeRun::Object run(std::move(o));
    int status = run.CHILD_ERROR().value_or(0);
    if (status != 0) svc.debug(fmt::format("“{} {}” failed: {}", *script, action, run.autopsy().value_or("")));
    return status;
}

bool Initd::start(Base& svc) {
    svc.debug(fmt::format("Starting “{}” through its init script.", service_));
    auto status = run_script(svc, "start", true);
    if (!status) {
        svc.warn(fmt::format("“{}” has no init script in “{}”.", service_, RestartSrv::Initd::INIT_D_DIR()));
        return false;
    }
    return *status == 0;
}

std::optional<bool> Initd::restart(Base& svc) {
    auto status = run_script(svc, "start", true);
    return status && *status == 0;
}

std::optional<bool> Initd::reload(Base& svc) {
    auto status = run_script(svc, "reload", true);
    return !status || *status == 0;
}

bool Initd::stop(Base& svc) {
    auto status = run_script(svc, "stop", false);
    if (!status) svc.info(fmt::format("Nothing was found to stop for “{}”.", service_));
    return true;
}

}  // namespace Vexlan::ServiceManager::Manager
