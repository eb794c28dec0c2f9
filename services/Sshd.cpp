// OpenSSH's server (ssh on Debian). sshd takes the first value of a keyword, included
// files first where they are included; every Port and the port of every ListenAddress
// count. Sessions are sshd processes too, so there is no leftover rule.
#include <algorithm>

#include <fmt/format.h>

#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Sshd : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Sshd"; }

protected:
    static constexpr const char* kConf = "/etc/ssh/sshd_config";

    std::vector<Config::Directive> directives() { return Config::read_words(kConf, {"Include"}, "/etc/ssh"); }

    std::optional<std::string> _build_service_override() override { return Daemon::distribution_name(service()); }
    std::string _build_pidfile() override {
        return Daemon::pidfile_for(*this, Config::first_value(directives(), "PidFile").value_or("/run/sshd.pid"));
    }
    std::vector<int> _build_ports() override {
        auto d = directives();
        std::vector<int> ports;
        for (const auto& port : Config::all(d, "Port"))
            if (!port.args.empty()) Config::add_port(ports, Config::port_of(port.args.front()));
        for (const auto& listen : Config::all(d, "ListenAddress"))
            // "host:port" or "[v6]:port"; a bare IPv6 address has colons but no port.
            if (!listen.args.empty() && (listen.args.front().find("]:") != std::string::npos ||
                                          std::count(listen.args.front().begin(), listen.args.front().end(), ':') == 1))
                Config::add_port(ports, Config::port_of(listen.args.front()));
        if (ports.empty()) ports.push_back(22);
        return ports;
    }
    std::string _build_service_binary() override { return "/usr/sbin/sshd"; }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/sshd$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    int _build_is_configured() override {
        if (Daemon::configuration_present(kConf)) return 1;
        not_configured_reason(fmt::format("{} does not exist.", kConf));
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Sshd)
