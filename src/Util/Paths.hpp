#pragma once
// Every fixed path of the program, defined once. Production values live under the
// product directory, the state directory and /etc; the program reads no environment
// variable to move them. Unit tests relocate them in-process with set_test_root().
#include <string>

namespace Vexlan::Paths {

enum class Key {
    ProductDir,        // /usr/local/vexlan
    LogDir,            // panel logs
    AuditLog,          // one line per invocation of the program
    ErrorLog,          // the panel's main error log
    PanicLog,
    BacktraceMarker,   // its existence turns logger backtraces on
    LockBase,          // restart lock files
    StartupLogDir,     // legacy startup logs of services
    SystemLogDir,      // the system's logs (syslog, messages, the mail log)
    SuspendDir,        // service monitor suspension files
    SuspendAllMarker,  // monitor-wide suspension marker
    DisableDir,        // service disable marker files
    CustomModuleDir,   // site per-service modules, searched first
    BuiltinModuleDir,  // per-service modules shipped with the program
    SandboxMarker,
    SmokerMarker,
    ColorDisableMarker,
    ColorDisableMarker2,
    InitDDir,
    OsRelease,         // the distribution's release description
    OsCacheDir,        // the identification cache's directory (its parent is made too)
    OsCustomDistroLink,// names a custom distribution: the cache is then never stale
    CloudLinuxMarker,  // its existence makes the distribution CloudLinux
    SvcmondConfigDir,  // one configuration file per service the monitor watches
    DnsOnlyMarker,     // the server is a DNS-only server
    DormantDir,        // dormant daemons' enable files
    RolesDir,          // server roles' disable markers
    GlobalCache,       // the product's global cache (JSON flags)
    MailProtocols,     // the mail server's protocols file
    MailConfig,        // the panel's configuration of the mail server
    UserDomains,       // one line per user domain on the server
    MainConfig,        // the panel's main configuration (key=value lines)
    MainConfigCache,   // its JSON cache, beside it
    Systemctl,
    SystemdPrivateSocket,  // the manager's own socket (root only)
    SystemdRunDir,         // exists while systemd runs as init
    DaemonWorkDir,
    ProcRoot,
};

// The path for a key (with the test root in front when one is set).
std::string get(Key key);

// Test-only: every path is placed under `root` ("" restores production paths).
void set_test_root(const std::string& root);

// The product's own directory that `path` lies in (/var/vexlan or /usr/local/vexlan, under
// a test root too), or empty text when the product does not own it. Everything from there
// down is the product's to keep safe; what lies above is the system's.
std::string owned_root_of(const std::string& path);
// Test-only: replace one path exactly ("" restores it).
void set_override(Key key, const std::string& path);
void clear_overrides();

}  // namespace Vexlan::Paths
