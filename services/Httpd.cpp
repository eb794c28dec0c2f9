// Apache (apache2 on Debian, httpd elsewhere). A SIGUSR1 makes it restart in place: the
// parent keeps its pid, rereads its configuration and rewrites its pidfile.
#include <fmt/format.h>

#include "OS/OS.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/Hot.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Httpd : public Hot {
public:
    explicit Httpd(const Options& options) : Hot(options) {}
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Httpd"; }

protected:
    static constexpr const char* kRoot = "/etc/apache2";

    std::vector<Config::Directive> directives() {
        return Config::read_words(fmt::format("{}/apache2.conf", kRoot), {"Include", "IncludeOptional"}, kRoot);
    }

    std::optional<std::string> _build_service_override() override { return Daemon::distribution_name(service()); }
    std::string _build_pidfile() override {
        // apache2.conf says "PidFile ${APACHE_PID_FILE}"; envvars says what that is.
        const auto vars = Config::read_shell_exports(fmt::format("{}/envvars", kRoot));
        std::string configured = "/run/apache2/apache2.pid";
        if (auto v = Config::last_value(directives(), "PidFile")) {
            std::string path = Config::expand_vars(*v, vars);
            if (!path.empty()) configured = path.front() == '/' ? path : fmt::format("{}/{}", kRoot, path);
        }
        return Daemon::pidfile_for(*this, configured, true);
    }
    std::vector<int> _build_ports() override {
        std::vector<int> ports;
        for (const auto& d : Config::all(directives(), "Listen"))
            if (!d.args.empty()) Config::add_port(ports, Config::port_of(d.args.front()));
        return ports;
    }
    std::string _build_service_binary() override { return "/usr/sbin/apache2"; }
    std::vector<std::string> configuration_test_command() override { return {"/usr/sbin/apache2ctl", "configtest"}; }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/(?:apache2|httpd)$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    nlohmann::json _build_doomed_rules() override { return {"apache2", "httpd"}; }
    int _build_is_configured() override {
        if (FileUtils::is_regular_file(fmt::format("{}/apache2.conf", kRoot))) return 1;
        not_configured_reason("/etc/apache2/apache2.conf does not exist.");
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Httpd)
