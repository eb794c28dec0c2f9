// Dovecot: the master process keeps base_dir/master.pid; the ports are those of the
// protocols it serves, as doveconf reports them.
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Daemon.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/DaemonConfig.hpp"
#include "Util/File.hpp"

namespace Vexlan::ServiceManager::Services {

namespace Config = Vexlan::Services::DaemonConfig;

class Dovecot : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Dovecot"; }

protected:
    static constexpr const char* kDoveconf = "/usr/bin/doveconf";

    std::string setting(const std::string& name) {
        auto text = Config::tool_output(kDoveconf, {"-h", name});
        std::string v = text.value_or("");
        while (!v.empty() && (v.back() == '\n' || v.back() == ' ')) v.pop_back();
        return v;
    }

    std::string _build_pidfile() override {
        std::string base = setting("base_dir");
        if (base.empty() || base.front() != '/') base = "/run/dovecot";
        return Daemon::pidfile_for(*this, base + "/master.pid");
    }
    std::vector<int> _build_ports() override {
        static const std::map<std::string, std::vector<int>> kPorts = {
            {"imap", {143, 993}}, {"pop3", {110, 995}}, {"submission", {587}}, {"sieve", {4190}}};
        std::vector<int> ports;
        std::string word;
        for (char c : setting("protocols") + " ") {
            if (c != ' ' && c != '\t') {
                word += c;
                continue;
            }
            if (auto it = kPorts.find(word); it != kPorts.end())
                for (int p : it->second) Config::add_port(ports, p);
            word.clear();
        }
        return ports;
    }
    std::string _build_service_binary() override { return "/usr/sbin/dovecot"; }
    std::optional<std::string> _build_pid_exe() override { return R"(^/usr/sbin/dovecot$)"; }
    int _build_support_reload() override { return Daemon::can_reload(*this, true); }
    nlohmann::json _build_doomed_rules() override { return {"dovecot"}; }
    int _build_is_configured() override {
        if (FileUtils::is_regular_file("/etc/dovecot/dovecot.conf")) return 1;
        not_configured_reason("/etc/dovecot/dovecot.conf does not exist.");
        return 0;
    }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Dovecot)
