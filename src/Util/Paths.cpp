#include "Util/Paths.hpp"

#include <map>

namespace Vexlan::Paths {

namespace {
std::string g_root;
std::map<Key, std::string>& overrides() {
    static std::map<Key, std::string> m;
    return m;
}

const char* production(Key key) {
    switch (key) {
        case Key::ProductDir: return "/usr/local/vexlan";
        case Key::LogDir: return "/usr/local/vexlan/logs";
        case Key::AuditLog: return "/usr/local/vexlan/logs/restartsrv_audit_log";
        case Key::ErrorLog: return "/usr/local/vexlan/logs/error_log";
        case Key::PanicLog: return "/usr/local/vexlan/logs/panic_log";
        case Key::BacktraceMarker: return "/var/vexlan/log_backtraces";
        case Key::LockBase: return "/var/vexlan/restartsrv/locks";
        case Key::StartupLogDir: return "/var/vexlan/restartsrv/startup_logs";
        case Key::SystemLogDir: return "/var/log";
        case Key::SuspendDir: return "/var/vexlan/svcmond/suspended";
        case Key::SuspendAllMarker: return "/var/vexlan/svcmond/suspend_all";
        case Key::DisableDir: return "/var/vexlan/services/disabled";
        case Key::CustomModuleDir: return "/var/vexlan/custom/services";
        case Key::BuiltinModuleDir: return "/usr/local/vexlan/lib/services";
        case Key::SandboxMarker: return "/var/vexlan/dev_sandbox";
        case Key::SmokerMarker: return "/var/vexlan/smoker";
        case Key::ColorDisableMarker: return "/usr/local/vexlan/etc/disable_color";
        case Key::ColorDisableMarker2: return "/usr/local/vexlan/etc/.nocolor";
        case Key::InitDDir: return "/etc/init.d";
        case Key::OsRelease: return "/etc/os-release";
        case Key::OsCacheDir: return "/var/vexlan/caches/os";
        case Key::OsCustomDistroLink: return "/var/vexlan/caches/os/custom_distro";
        case Key::CloudLinuxMarker: return "/etc/cloudlinux-release";
        case Key::SvcmondConfigDir: return "/var/vexlan/svcmond/monitored";
        case Key::DnsOnlyMarker: return "/var/vexlan/dnsonly";
        case Key::DormantDir: return "/var/vexlan/dormant_services";
        case Key::RolesDir: return "/var/vexlan/roles/disabled";
        case Key::GlobalCache: return "/var/vexlan/global_cache.json";
        case Key::MailProtocols: return "/var/vexlan/conf/dovecot/protocols";
        case Key::MailConfig: return "/var/vexlan/conf/dovecot/main";
        case Key::UserDomains: return "/var/vexlan/userdomains";
        case Key::MainConfig: return "/var/vexlan/vexlan.conf";
        case Key::MainConfigCache: return "/var/vexlan/vexlan.conf.cache";
        case Key::Systemctl: return "/usr/bin/systemctl";
        case Key::SystemdPrivateSocket: return "/run/systemd/private";
        case Key::SystemdRunDir: return "/run/systemd/system";
        case Key::DaemonWorkDir: return "/";
        case Key::ProcRoot: return "/proc";
    }
    return "/";
}
}  // namespace

std::string get(Key key) {
    auto it = overrides().find(key);
    if (it != overrides().end()) return it->second;
    // /proc, systemctl and / stay real under a test root: they are the machine's, not ours.
    if (key == Key::ProcRoot || key == Key::Systemctl || key == Key::DaemonWorkDir) return production(key);
    return g_root + production(key);
}

void set_test_root(const std::string& root) { g_root = root; }

std::string owned_root_of(const std::string& path) {
    for (const char* owned : {"/var/vexlan", "/usr/local/vexlan"}) {
        const std::string root = g_root + owned;
        if (path == root || (path.starts_with(root) && path[root.size()] == '/')) return root;
    }
    return "";
}

void set_override(Key key, const std::string& path) {
    if (path.empty())
        overrides().erase(key);
    else
        overrides()[key] = path;
}

void clear_overrides() { overrides().clear(); }

}  // namespace Vexlan::Paths
