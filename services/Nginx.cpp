// nginx: its pidfile and listening ports come from nginx.conf and the files it includes.
// A reload rereads the configuration; there is no in-place restart on SIGUSR1 (that
// reopens the logs).
#include <fmt/format.h>

#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Nginx : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Nginx"; }

protected:
    static constexpr const char* kConf = "/etc/nginx/nginx.conf";

    std::vector<Config::Directive> directives() { return Config::read_words(kConf, {"include"}, "/etc/nginx"); }

    std::string _build_pidfile() override {
        return Daemon::pidfile_for(*this, Config::last_value(directives(), "pid").value_or("/run/nginx.pid"));
    }
    std::vector<int> _build_ports() override {
        std::vector<int> ports;
        for (const auto& d : Config::all(directives(), "listen"))
            if (!d.args.empty()) Config::add_port(ports, Config::port_of(d.args.front()));
        return ports;
    }
    std::string _build_service_binary() override { return "/usr/sbin/nginx"; }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/nginx$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    nlohmann::json _build_doomed_rules() override { return {"nginx"}; }
    int _build_is_configured() override {
        if (Daemon::configuration_present(kConf)) return 1;
        not_configured_reason(fmt::format("{} does not exist.", kConf));
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Nginx)
