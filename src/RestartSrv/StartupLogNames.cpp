#include "RestartSrv/StartupLogNames.hpp"

#include "Util/Text.hpp"

namespace Vexlan::Services::Log {

std::string get_service_name_from_legacy_name(const std::string& service) {
    const std::string lower = Text::lower(service);
    if (lower.find("ftp") != std::string::npos) return "ftpd";
    if (lower.find("exim") != std::string::npos) return "exim";
    if (service == "mariadb") return "mysql";
    if (service == "imap" || service == "pop") return "dovecot";
    return service;
}

}  // namespace Vexlan::Services::Log
