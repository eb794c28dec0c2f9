// memcached: /etc/memcached.conf holds its command-line options, one per line ("-p 11211",
// "-u memcache", "-P /var/run/memcached/memcached.pid").
#include <fmt/format.h>

#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Memcached : public Base {
public:
    explicit Memcached(const Options& options) : Base(options) {
        Daemon::default_owner(*this, options, option("-u").value_or("memcache"));
    }
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Memcached"; }

protected:
    static constexpr const char* kConf = "/etc/memcached.conf";

    // The value of a flag as written ("-p" and "-P" differ, so no case folding).
    static std::optional<std::string> option(const std::string& flag) {
        std::optional<std::string> value;
        for (const auto& d : Config::read_words(kConf, {}, "/etc"))
            if (d.key == flag && !d.args.empty()) value = d.args.front();
        return value;
    }

    std::string _build_pidfile() override {
        return Daemon::pidfile_for(*this, option("-P").value_or("/run/memcached/memcached.pid"));
    }
    std::vector<int> _build_ports() override {
        std::vector<int> ports;
        // TCP on 11211 unless told otherwise; UDP only when asked for (0 is off).
        Config::add_port(ports, Number::parse<int>(option("-p").value_or("11211"), 1, 65535));
        Config::add_port(ports, Number::parse<int>(option("-U").value_or("0"), 1, 65535));
        return ports;
    }
    std::string _build_service_binary() override { return "/usr/bin/memcached"; }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/bin/memcached$)"; }
    nlohmann::json _build_doomed_rules() override { return {"memcached"}; }
    int _build_is_configured() override {
        if (Daemon::configuration_present(kConf)) return 1;
        not_configured_reason(fmt::format("{} does not exist.", kConf));
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Memcached)
