#include "Services/Installed.hpp"

#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>

#include <fmt/format.h>

#include "Binaries/Binaries.hpp"
#include "OS/OS.hpp"
#include "Output/Debug.hpp"
#include "RestartSrv/Initd.hpp"
#include "Server/Type/Type.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::FindBin {

namespace {
std::map<std::string, std::optional<std::string>>& cache() {
    static std::map<std::string, std::optional<std::string>> c;
    return c;
}
}  // namespace

std::optional<std::string> findbin(const std::string& program, const std::vector<std::string>& dirs) {
    static const std::vector<std::string> kStandard = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"};
    const std::string key = program + "\n" + (dirs.empty() ? "" : dirs.front());
    if (auto it = cache().find(key); it != cache().end()) return it->second;
    std::optional<std::string> found;
    for (const auto& dir : dirs.empty() ? kStandard : dirs) {
        const std::string path = dir + "/" + program;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR)
                Debug::log_warn(fmt::format("The system failed to test “{}”: {}", path, std::strerror(errno)));
            continue;
        }
        if (!S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0) {
            Debug::log_warn(fmt::format("“{}” exists but is not an executable program.", path));
            continue;
        }
        found = path;
        break;
    }
    cache()[key] = found;
    return found;
}

void clear_cache() { cache().clear(); }

}  // namespace Vexlan::FindBin

namespace Vexlan::Services::AlwaysInstalled {
const std::vector<std::string>& list() {
    static const std::vector<std::string> kList = {"vxsrvd", "vexlanlogd", "svcmond", "queueprocd", "dnsadmin", "tailwatchd"};
    return kList;
}
}  // namespace Vexlan::Services::AlwaysInstalled

namespace Vexlan::Services::Installed {

namespace {
const std::vector<std::string> kProgramDirs = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"};

bool registry_program(const std::string& name) {
    // A program no table knows is not here.
    auto path = Binaries::find(name);
    return path && FileUtils::is_executable_file(*path);
}
bool found(const std::string& program, const std::vector<std::string>& dirs = kProgramDirs) {
    return FindBin::findbin(program, dirs).has_value();
}
bool not_dnsonly() { return !Server::Type::is_dnsonly(); }
bool any_glob(const char* pattern) {
    glob_t g{};
    const bool any = ::glob(pattern, 0, nullptr, &g) == 0 && g.gl_pathc > 0;
    ::globfree(&g);
    return any;
}

// One test per service code name.
const std::map<std::string, std::function<bool()>>& tests() {
    static const std::map<std::string, std::function<bool()>> kTests = {
        {"clamd", [] { return registry_program("clamd"); }},
        {"vxdavd", not_dnsonly},
        {"exim", [] { return registry_program("exim"); }},
        {"exim_altport", [] { return registry_program("exim"); }},
        {"ftpd", [] { return not_dnsonly() && (found("pure-ftpd") || found("proftpd")); }},
        {"httpd", [] { return registry_program("apache2") || registry_program("httpd"); }},
        {"nginx", [] { return found("nginx"); }},
        {"imap", not_dnsonly},
        {"pop", not_dnsonly},
        {"dovecot", [] { return not_dnsonly() && found("dovecot"); }},
        {"mailman", not_dnsonly},
        {"mysql", [] {
             const std::vector<std::string> dirs = {"/usr/sbin", "/usr/bin", "/usr/local/bin", "/usr/local/sbin", "/usr/libexec", "/sbin"};
             return found("mysqld", dirs) || found("mariadbd", dirs);
         }},
        {"postgresql", [] { return found("postgres") || found("postmaster") || any_glob("/usr/lib/postgresql/*/bin/postgres"); }},
        {"vexlanlogd", [] { return true; }},
        {"rsyslogd", [] { return found("rsyslogd"); }},
        {"rsyslog", [] { return found("rsyslogd"); }},
        {"spamd", [] { return registry_program("spamd"); }},
        {"sshd", [] { return found("sshd"); }},
        {"crond", [] {
             try {
                 return FileUtils::is_executable_file(OS::cron_bin_path());
             } catch (...) {
                 return false;
             }
         }},
        {"nscd", [] { return found("nscd"); }},
        {"syslogd", [] { return found("syslogd") || found("rsyslogd"); }},
        {"named", [] { return found("named"); }},
        {"redis", [] { return found("redis-server"); }},
        {"memcached", [] { return found("memcached"); }},
        {"p0f", [] { return FileUtils::exists("/usr/sbin/p0f"); }},
        {"apache_php_fpm", [] { return any_glob("/usr/sbin/php-fpm*") || any_glob("/etc/php/*/fpm"); }},
        {"pdns", [] { return registry_program("pdns_server"); }},
    };
    return kTests;
}
}  // namespace

std::string code_name(const std::string& service) {
    std::string out = service;
    for (auto& c : out)
        if (c == '-' || c == '.' || c == '@') c = '_';
    return out;
}

std::string monitor_file(const std::string& service) { return Paths::get(Paths::Key::SvcmondConfigDir) + "/" + service + ".conf"; }
bool has_monitor_file(const std::string& service) { return FileUtils::is_regular_file(monitor_file(service)); }

std::optional<int> service_is_installed(const std::string& service) {
    static const Regex kAllowed(R"(\A[A-Za-z0-9_.@-]+\z)");
    if (!kAllowed.match(service)) {
        Debug::log_warn(fmt::format("“{}” is not a valid service name.", service));
        return std::nullopt;
    }
    const std::string code = code_name(service);
    for (const auto& always : AlwaysInstalled::list())
        if (always == code) return 1;
    if (auto it = tests().find(code); it != tests().end()) {
        if (it->second()) return 1;
        return std::nullopt;
    }
    if (has_monitor_file(service)) return 1;
    return std::nullopt;
}

}  // namespace Vexlan::Services::Installed
