#pragma once
// What a service said while starting (its startup log: systemd's journal for a unit, the
// legacy startup-log file otherwise) and the latest lines about it in the system logs.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Systemd/PropertyMap.hpp"

namespace Vexlan::Services::Log {

inline constexpr size_t MAX_LOG_MESSAGES = 5;
inline constexpr size_t LOG_READ_BYTES = 8192;
// How much of an init-script service's startup log is read (from its end) and shown.
inline constexpr size_t STARTUP_LOG_TAIL_BYTES = 64 * 1024;
inline constexpr size_t STARTUP_LOG_TAIL_LINES = 40;
inline constexpr size_t STARTUP_LOG_LINE_BYTES = 1024;
// The last `count` lines of `text`; when the text was cut from a longer one at its start
// (`first_is_partial`), never the partial first line.
std::string_view last_lines(std::string_view text, size_t count, bool first_is_partial);
std::string LOG_DIR();
std::string STARTUP_LOG_DIR();

// (true, text) or (false, error text).
using Result = std::pair<bool, std::string>;

// The journal lines of the service's unit, or its legacy startup log, cleaned.
Result fetch_service_startup_log(const std::string& service,
                                 const std::optional<RestartSrv::Systemd::PropertyMap>& service_via_systemd = std::nullopt);
// The latest lines that the named programs (one name, or several joined by "|" or "&")
// wrote to the system logs, newest first.
Result fetch_service_log_messages(const std::string& services_to_match, const std::string& command);
Result fetch_log_tail(const std::string& logfile, size_t max_messages = MAX_LOG_MESSAGES);
// The system logs always searched: two fixed names and the mail log's file name.
const std::vector<std::string>& logs_to_check();

struct LogEntry {
    size_t max_messages = MAX_LOG_MESSAGES;
    size_t read_bytes = LOG_READ_BYTES;
};
struct ReadError {
    std::string op, file, path, error;
};
// Appends the matching lines among the file's last `max_messages` (newest first) to
// `text`; false with `error` filled when the file cannot be read.
bool _read_log(std::string& text, const std::string& path, const std::string& file, size_t read_bytes, size_t max_messages,
               const std::string& log_regex, ReadError* error);
// The web server's long startup log without its warning lines.
std::string _decruft_log_for_service(const std::string& service, std::string text);

}  // namespace Vexlan::Services::Log
