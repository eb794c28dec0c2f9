// MariaDB (mysql to the panel). my.cnf and the directories it includes name the pidfile
// and port in the server's sections; a server without networking has no port to free.
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Mysql : public Base {
public:
    explicit Mysql(const Options& options) : Base(options) { Daemon::default_owner(*this, options, "mysql"); }
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Mysql"; }

protected:
    // The sections the server reads, in the order it reads them.
    const std::vector<std::string> kSections = {"mysqld", "server", "mariadb", "mariadbd", "mariadb-10.11"};

    static std::string conf() { return FileUtils::exists("/etc/mysql/my.cnf") ? "/etc/mysql/my.cnf" : "/etc/my.cnf"; }

    std::optional<std::string> _build_service_override() override { return Daemon::distribution_name(service()); }
    std::string _build_pidfile() override {
        auto directives = Config::read_assignments(conf());
        return Daemon::pidfile_for(*this, Config::last_value(directives, "pid-file", kSections).value_or("/run/mysqld/mysqld.pid"));
    }
    std::vector<int> _build_ports() override {
        auto directives = Config::read_assignments(conf());
        for (const auto& d : Config::all(directives, "skip-networking"))
            if (std::find(kSections.begin(), kSections.end(), d.section) != kSections.end() &&
                (d.args.empty() || d.args.front().empty() || d.args.front() == "1" || d.args.front() == "ON"))
                return {};
        auto port = Number::parse<int>(Config::last_value(directives, "port", kSections).value_or("3306"), 1, 65535);
        return {port.value_or(3306)};
    }
    std::string _build_service_binary() override {
        return FileUtils::is_executable_file("/usr/sbin/mariadbd") ? "/usr/sbin/mariadbd" : "/usr/sbin/mysqld";
    }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/(?:s?bin|libexec)/(?:mariadbd|mysqld)$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    int _build_startup_timeout() override { return 60; }
    nlohmann::json _build_doomed_rules() override { return {"mariadbd", "mysqld"}; }
    int _build_is_configured() override {
        if (Daemon::configuration_present(conf())) return 1;
        not_configured_reason("The MariaDB server configuration does not exist.");
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Mysql)
