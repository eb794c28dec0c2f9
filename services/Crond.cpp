// cron (crond to the panel). Each running job's parent is also a cron process, so there
// is no leftover rule: ending them would kill running jobs.
#include "OS/OS.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Util/File.hpp"

namespace Vexlan::ServiceManager::Services {

class Crond : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Crond"; }

protected:
    std::optional<std::string> _build_service_override() override { return Daemon::distribution_name(service()); }
    std::string _build_pidfile() override { return Daemon::pidfile_for(*this, "/run/crond.pid"); }
    std::string _build_service_binary() override { return OS::cron_bin_path(); }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/crond?$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    int _build_is_configured() override {
        if (FileUtils::is_executable_file(OS::cron_bin_path())) return 1;
        not_configured_reason("cron is not installed.");
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Crond)
