// BIND (named). named.conf is a block language: the pidfile is "pid-file" and the ports
// "listen-on port N" in the options block, both optional.
#include <fmt/format.h>

#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Named : public Base {
public:
    explicit Named(const Options& options) : Base(options) { Daemon::default_owner(*this, options, "bind"); }
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Named"; }

protected:
    static constexpr const char* kConf = "/etc/bind/named.conf";

    std::vector<Config::Directive> directives() { return Config::read_words(kConf, {"include"}, "/etc/bind"); }

    std::string _build_pidfile() override {
        return Daemon::pidfile_for(*this, Config::last_value(directives(), "pid-file").value_or("/run/named/named.pid"));
    }
    std::vector<int> _build_ports() override {
        std::vector<int> ports;
        for (const char* key : {"listen-on", "listen-on-v6"})
            for (const auto& d : Config::all(directives(), key))
                if (d.args.size() >= 2 && d.args[0] == "port") Config::add_port(ports, Config::port_of(d.args[1]));
        if (ports.empty()) ports.push_back(53);
        return ports;
    }
    std::string _build_service_binary() override { return "/usr/sbin/named"; }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/named$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    nlohmann::json _build_doomed_rules() override { return {"named"}; }
    int _build_is_configured() override {
        if (Daemon::configuration_present(kConf)) return 1;
        not_configured_reason(fmt::format("{} does not exist.", kConf));
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Named)
