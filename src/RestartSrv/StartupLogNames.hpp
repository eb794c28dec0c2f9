#pragma once
#include <string>

namespace Vexlan::Services::Log {

// The name of a service's legacy startup-log file: services that share a daemon share a
// log (every FTP name the FTP daemon's, IMAP and POP3 the mail access server's).
std::string get_service_name_from_legacy_name(const std::string& service);

}  // namespace Vexlan::Services::Log
