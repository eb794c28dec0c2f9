#include "ServiceManager/Daemon.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "OS/OS.hpp"

namespace Vexlan::ServiceManager::Daemon {

void default_owner(Base& svc, const Options& options, const std::string& user) {
    if (!(options.is_object() && options.contains("processowner"))) svc.processowner(user);
}

std::string pidfile_for(Base& svc, const std::string& configured, bool always_written) {
    svc.configured_pidfile(configured);
    if (auto props = svc.service_manager().service_via_systemd()) {
        auto it = props->find("PIDFile");
        if (it != props->end() && !it->second.empty()) return it->second;
        return always_written ? configured : "";
    }
    return configured;
}

int can_reload(Base& svc, bool init_script_reloads) {
    if (auto props = svc.service_manager().service_via_systemd()) {
        auto it = props->find("CanReload");
        return it != props->end() && it->second == "yes" ? 1 : 0;
    }
    return init_script_reloads ? 1 : 0;
}

bool configuration_present(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISREG(st.st_mode);
    return (errno == EACCES || errno == EPERM) && ::geteuid() != 0;
}

std::optional<std::string> distribution_name(const std::string& service) {
    const std::string name = OS::systemd_unit_name(service);
    if (name.empty() || name == service) return std::nullopt;
    return name;
}

}  // namespace Vexlan::ServiceManager::Daemon
