// Pure-FTPd (pure-ftpd on Debian, one of several builds behind the pure-ftpd name). The
// Debian wrapper reads one file per option in /etc/pure-ftpd/conf; "Bind" holds
// "address,port" or a port. Only the standalone server is a service here.
#include "RestartSrv/InitScript.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Ftpd : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Ftpd"; }

protected:
    std::optional<std::string> _build_service_override() override { return Daemon::distribution_name(service()); }
    std::string _build_pidfile() override {
        auto facts = RestartSrv::read_init_script_facts("/etc/init.d/pure-ftpd");
        return Daemon::pidfile_for(*this, facts.pidfile.value_or("/run/pure-ftpd/pure-ftpd.pid"));
    }
    std::vector<int> _build_ports() override {
        std::vector<int> ports;
        if (auto bind = Config::read_config_file("/etc/pure-ftpd/conf/Bind")) {
            std::string spec = *bind;
            spec.erase(spec.find_last_not_of(" \n") + 1);
            auto comma = spec.rfind(',');
            Config::add_port(ports, Config::port_of(comma == std::string::npos ? spec : spec.substr(comma + 1)));
        }
        if (ports.empty()) ports.push_back(21);
        return ports;
    }
    std::string _build_service_binary() override { return "/usr/sbin/pure-ftpd"; }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/pure-ftpd(?:-\w+)?$)"; }
    int _build_is_configured() override {
        auto defaults = Config::read_shell_exports("/etc/default/pure-ftpd-common");
        for (const auto& [name, value] : defaults)
            if (name == "STANDALONE_OR_INETD" && value == "inetd") {
                not_configured_reason("Pure-FTPd runs from inetd, not as a standalone server.");
                return 0;
            }
        return 1;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Ftpd)
