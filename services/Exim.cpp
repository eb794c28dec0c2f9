// Exim (exim4 on Debian). Its pidfile and SMTP ports are what "exim -bP" reports from the
// configuration it would run with. Delivery processes are also called exim, so no
// leftover rule: ending them would cut deliveries short; the listening ports are freed
// instead.
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Exim : public Base {
public:
    explicit Exim(const Options& options) : Base(options) { Daemon::default_owner(*this, options, "Debian-exim"); }
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Exim"; }

protected:
    static std::string binary() { return FileUtils::is_executable_file("/usr/sbin/exim4") ? "/usr/sbin/exim4" : "/usr/sbin/exim"; }

    // "name = value" for each option asked, from the configuration exim would use.
    std::map<std::string, std::string> options_of(const std::vector<std::string>& names) {
        std::map<std::string, std::string> out;
        std::vector<std::string> args = {"-bP"};
        args.insert(args.end(), names.begin(), names.end());
        auto text = Config::tool_output(binary(), args);
        if (!text) return out;
        static const Regex kLine(R"(^\s*(\w+)\s*=\s*(.*?)\s*$)", Regex::MULTILINE);
        for (const auto& line : Regex(R"(\n)").split(*text))
            if (auto m = kLine.captures(line)) out[(*m)[1]] = (*m)[2];
        return out;
    }

    std::optional<std::string> _build_service_override() override { return Daemon::distribution_name(service()); }
    std::string _build_pidfile() override {
        auto opts = options_of({"pid_file_path"});
        std::string configured = opts["pid_file_path"];
        if (configured.empty()) configured = FileUtils::is_directory("/run/exim4") ? "/run/exim4/exim.pid" : "/run/exim.pid";
        return Daemon::pidfile_for(*this, configured);
    }
    std::vector<int> _build_ports() override {
        std::vector<int> ports;
        auto opts = options_of({"daemon_smtp_ports", "tls_on_connect_ports"});
        // A colon-separated list ("smtp : 587"), or another separator after "<".
        for (const auto& key : {"daemon_smtp_ports", "tls_on_connect_ports"}) {
            std::string list = opts[key];
            char sep = ':';
            if (list.size() >= 2 && list[0] == '<') {
                sep = list[1];
                list = list.substr(2);
            }
            std::string item;
            for (char c : list + sep) {
                if (c == sep) {
                    item.erase(0, item.find_first_not_of(' '));
                    item.erase(item.find_last_not_of(' ') + 1);
                    Config::add_port(ports, Config::port_of(item));
                    item.clear();
                } else {
                    item += c;
                }
            }
        }
        if (ports.empty()) ports.push_back(25);
        return ports;
    }
    std::string _build_service_binary() override { return binary(); }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/exim4?$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    int _build_is_configured() override {
        if (FileUtils::is_executable_file(binary())) return 1;
        not_configured_reason("Exim is not installed.");
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Exim)
