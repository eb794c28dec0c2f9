// Redis (redis-server on Debian, where the program is a link to redis-check-rdb: the
// process's executable is that name).
#include <fmt/format.h>

#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Redis : public Base {
public:
    explicit Redis(const Options& options) : Base(options) { Daemon::default_owner(*this, options, "redis"); }
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Redis"; }

protected:
    static constexpr const char* kConf = "/etc/redis/redis.conf";

    std::vector<Config::Directive> directives() { return Config::read_words(kConf, {"include"}, "/etc/redis"); }

    std::optional<std::string> _build_service_override() override { return Daemon::distribution_name(service()); }
    std::string _build_pidfile() override {
        return Daemon::pidfile_for(*this, Config::last_value(directives(), "pidfile").value_or("/run/redis/redis-server.pid"));
    }
    std::vector<int> _build_ports() override {
        // Port 0 is no TCP listener at all.
        auto port = Number::parse<int>(Config::last_value(directives(), "port").value_or("6379"), 0, 65535);
        if (!port) return {6379};
        return *port == 0 ? std::vector<int>{} : std::vector<int>{*port};
    }
    std::string _build_service_binary() override { return "/usr/bin/redis-server"; }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/bin/redis-(?:server|check-rdb)$)"; }
    nlohmann::json _build_doomed_rules() override { return {"redis-server"}; }
    int _build_is_configured() override {
        if (Daemon::configuration_present(kConf)) return 1;
        not_configured_reason(fmt::format("{} does not exist.", kConf));
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Redis)
