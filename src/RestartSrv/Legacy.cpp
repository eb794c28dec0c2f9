#include "RestartSrv/Legacy.hpp"

#include <cstdlib>

#include "Exception/Exception.hpp"
#include "Process/Kill/Kill.hpp"
#include "Process/ProcFs.hpp"
#include "Process/ProcessInfo/ProcessInfo.hpp"
#include "RestartSrv/Initd.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "SafeRun/AccessIds.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::RestartSrv {

const std::vector<std::string>& search_path_dirs() {
    static const std::vector<std::string> kDirs = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                                   "/usr/bin",        "/sbin",          "/bin"};
    return kDirs;
}

void setuppath() {
    std::string path;
    for (const auto& d : search_path_dirs())
        if (FileUtils::is_directory(d)) path += (path.empty() ? "" : ":") + d;
    ::setenv("PATH", path.c_str(), 1);
}

int doomedprocess(const nlohmann::json& rules, bool verbose, double wait_time,
                  const std::optional<std::vector<std::string>>& allowed_owners) {
    if (rules.is_null() || (rules.is_array() && rules.empty())) return 0;
    PsParser::NameSpec spec;
    if (rules.is_object() && rules.contains("pattern"))
        spec = Regex(rules["pattern"].get<std::string>());
    else if (rules.is_array())
        spec = rules.get<std::vector<std::string>>();
    else if (rules.is_string())
        spec = rules.get<std::string>();
    else
        return 0;
    return Kill::safekill(spec, verbose, wait_time, ProcessInfo::get_pid_lineage(), allowed_owners);
}

std::string legacy_disable_marker(const std::string& service) {
    return Paths::get(Paths::Key::DisableDir) + "/" + service + ".disabled";
}

int is_service_disabled(const std::string& service) {
    if (!_is_installed(service)) return 1;
    return FileUtils::exists(legacy_disable_marker(service)) ? 1 : 0;
}

int _is_installed(const std::string& service) {
    if (service != "syslogd" && service != "rsyslog") return 1;
    if (service == "rsyslog" && !FileUtils::is_executable_file("/usr/sbin/rsyslogd")) return 0;
    if (Systemd::has_service_via_systemd(service)) return 1;
    for (const char* name : {"syslogd", "rsyslogd", "rsyslog", "sysklogd"})
        if (getinitfile(name)) return 1;
    return 0;
}

std::optional<std::string> find_mysqladmin() {
    for (const char* path : {"/usr/bin/mysqladmin", "/usr/local/bin/mysqladmin", "/usr/sbin/mysqladmin"})
        if (FileUtils::exists(path)) return std::string(path);
    return std::nullopt;
}

void setuids(const std::string& user) { AccessIds::SetUids::setuids(user); }
int runasuser(const std::string& user, const std::function<void()>& code) { return AccessIds::runasuser(user, code); }

bool _has_proc() { return FileUtils::is_directory(ProcFs::proc_root() + "/self"); }

void _croak(const std::string& message) { throw Exception::create(Exception::Kinds::Generic, {{"message", message}}); }

}  // namespace Vexlan::RestartSrv
