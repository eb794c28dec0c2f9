// rsyslog. Under systemd it runs in the foreground without a pidfile; started otherwise it
// keeps /run/rsyslogd.pid. Its ports are those of the network inputs it loads, in either
// syntax (input(type="imtcp" port="514") or $InputTCPServerRun 514).
#include <fmt/format.h>

#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Rsyslog : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Rsyslog"; }

protected:
    static constexpr const char* kConf = "/etc/rsyslog.conf";

    std::string _build_pidfile() override { return Daemon::pidfile_for(*this, "/run/rsyslogd.pid"); }
    std::string _build_service_binary() override { return "/usr/sbin/rsyslogd"; }
    std::vector<int> _build_ports() override {
        static const Regex kInput(R"(input\s*\(([^)]*)\))", Regex::CASELESS);
        static const Regex kPort(R"re(\bport\s*=\s*"(\d+)")re", Regex::CASELESS);
        static const Regex kLegacy(R"(^\s*\$(?:InputTCPServerRun|UDPServerRun)\s+(\d+))", Regex::CASELESS | Regex::MULTILINE);
        std::vector<int> ports;
        std::vector<std::string> files = {kConf};
        for (const auto& f : Config::matching_paths("/etc/rsyslog.d/*.conf")) files.push_back(f);
        for (const auto& file : files) {
            auto text = Config::read_config_file(file);
            if (!text) continue;
            for (const auto& input : kInput.all(*text))  // what is inside each input(...)
                if (auto m = kPort.captures(input)) Config::add_port(ports, Config::port_of((*m)[1]));
            for (const auto& port : kLegacy.all(*text)) Config::add_port(ports, Config::port_of(port));
        }
        return ports;
    }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/rsyslogd$)"; }
    nlohmann::json _build_doomed_rules() override { return {"rsyslogd"}; }
    int _build_is_configured() override {
        if (Daemon::configuration_present(kConf)) return 1;
        not_configured_reason(fmt::format("{} does not exist.", kConf));
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Rsyslog)
