// PostgreSQL. Debian runs each cluster as its own unit, postgresql@<version>-<cluster>;
// "postgresql" itself is an umbrella unit that is active without any server. The class
// drives the newest cluster (the one a single-version server has), and its init script
// when systemd does not run.
#include <algorithm>

#include "Systemd/SystemdQueries.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/Manager/Systemd.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Postgresql : public Base {
public:
    explicit Postgresql(const Options& options) : Base(options) { Daemon::default_owner(*this, options, "postgres"); }
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Postgresql"; }

protected:
    struct Cluster {
        std::string version, name;
        std::string conf() const { return "/etc/postgresql/" + version + "/" + name + "/postgresql.conf"; }
        std::string unit() const { return "postgresql@" + version + "-" + name; }
    };

    // The newest version's cluster, "main" first among its clusters.
    static std::optional<Cluster> cluster() {
        std::vector<Cluster> found;
        for (const auto& conf : Config::matching_paths("/etc/postgresql/*/*/postgresql.conf")) {
            auto rest = conf.substr(std::string("/etc/postgresql/").size());
            auto slash = rest.find('/');
            auto slash2 = rest.find('/', slash + 1);
            found.push_back({rest.substr(0, slash), rest.substr(slash + 1, slash2 - slash - 1)});
        }
        if (found.empty()) return std::nullopt;
        auto rank = [](const Cluster& c) { return std::make_pair(Number::parse<int>(c.version).value_or(0), c.name == "main"); };
        return *std::max_element(found.begin(), found.end(), [&](const Cluster& a, const Cluster& b) { return rank(a) < rank(b); });
    }

    std::unique_ptr<Manager::Backend> _build_service_manager() override {
        if (!uses_initd_option() && ::getppid() != 1)
            if (auto c = cluster())
                if (auto map = RestartSrv::Systemd::has_service_via_systemd(c->unit()))
                    return std::make_unique<Manager::Systemd>(c->unit(), *map);
        return Base::_build_service_manager();
    }
    std::string _build_pidfile() override {
        auto c = cluster();
        if (!c) return "";
        auto directives = Config::read_assignments(c->conf());
        return Daemon::pidfile_for(*this, Config::last_value(directives, "external_pid_file")
                                              .value_or("/run/postgresql/" + c->version + "-" + c->name + ".pid"));
    }
    std::vector<int> _build_ports() override {
        auto c = cluster();
        if (!c) return {};
        auto port = Number::parse<int>(Config::last_value(Config::read_assignments(c->conf()), "port").value_or("5432"), 1, 65535);
        return {port.value_or(5432)};
    }
    std::string _build_service_binary() override {
        auto c = cluster();
        return c ? "/usr/lib/postgresql/" + c->version + "/bin/postgres" : "";
    }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/lib/postgresql/\d+/bin/postgres$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    int _build_startup_timeout() override { return 60; }
    int _build_is_configured() override {
        if (cluster()) return 1;
        not_configured_reason("No PostgreSQL cluster is configured in /etc/postgresql.");
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Postgresql)
