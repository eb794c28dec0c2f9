#include "Services/Log/Log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "OS/OS.hpp"
#include "RestartSrv/LoggedStartup.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "Services/Log/Journal.hpp"
#include "RestartSrv/StartupLogNames.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"
#include "Util/Text.hpp"
#include "Util/Validate.hpp"

namespace Vexlan::Services::Log {

namespace {
constexpr const char* kWebServer = "httpd";
}  // namespace

std::string LOG_DIR() { return Paths::get(Paths::Key::SystemLogDir); }
std::string STARTUP_LOG_DIR() { return Paths::get(Paths::Key::StartupLogDir); }

const std::vector<std::string>& logs_to_check() {
    static const std::vector<std::string> kLogs = [] {
        std::string maillog = "/var/log/maillog";
        try {
            maillog = OS::maillog_path();
        } catch (const Exception::Base&) {
            // an unidentified distribution: the common name
        }
        static const Regex kName(R"(/([^/]+)$)");
        auto m = kName.captures(maillog);
        if (!m) throw Exception::create(Exception::Kinds::Generic, {{"message", "The mail log path “" + maillog + "” names no file."}});
        return std::vector<std::string>{"syslog", "messages", (*m)[1]};
    }();
    return kLogs;
}

std::string _decruft_log_for_service(const std::string& service, std::string text) {
    if (service != kWebServer || text.size() <= LOG_READ_BYTES) return text;
    static const Regex kWarnings[] = {Regex(R"(\n[ \t]*Warning:[^\n]+)"), Regex(R"(\n\S+[ \t]*Warning:[^\n]+)"),
                                      Regex(R"(\n\[[^\]]+\] \[warn\] [^\n]+)")};
    text = "\n" + text;
    for (const auto& re : kWarnings) text = re.replace_all(text, "");
    if (text.starts_with("\n")) text.erase(0, 1);
    return text;
}

std::string_view last_lines(std::string_view text, size_t count, bool first_is_partial) {
    size_t start = 0;
    size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') --end;  // the final newline ends the last line
    size_t seen = 0;
    for (size_t at = end; at > 0; --at) {
        if (text[at - 1] != '\n') continue;
        if (++seen == count) {
            start = at;
            break;
        }
    }
    if (start == 0 && first_is_partial) {
        const size_t nl = text.find('\n');
        start = nl == std::string_view::npos ? text.size() : nl + 1;
    }
    return text.substr(start);
}

Result fetch_service_startup_log(const std::string& service, const std::optional<RestartSrv::Systemd::PropertyMap>& via_systemd) {
    if (!Validate::is_valid_service_name(service)) return {false, fmt::format("“{}” is not a valid service name.", service)};
    const auto systemd = via_systemd ? via_systemd : RestartSrv::Systemd::has_service_via_systemd(service);
    std::string text;
    if (systemd) {
        // The unit the service runs as (exim runs as exim4.service on Debian).
        const std::string unit = RestartSrv::Systemd::normalize_unit_name(OS::systemd_unit_name(service));
        // The unit's run as it is now: this start's lines, not an earlier run's errors.
        RestartSrv::Systemd::Bus::get().forget();
        const std::string run = RestartSrv::Systemd::get_service_info_via_systemd(unit)["InvocationID"];
        Journal::settle();
        auto lines = Journal::unit_lines(unit, 10, run);
        if (!lines) return {false, fmt::format("The journal of “{}” cannot be read.", unit)};
        text = *lines;
    } else {
        const std::string path = RestartSrv::startup_log_path(service);
        auto fd = FileUtils::open_regular_for_reading(path);
        if (!fd) {
            if (errno == ENOENT) return {false, fmt::format("“{}” has no startup log.", service)};
            return {false, fmt::format("The system failed to open “{}”: {}", path, FileUtils::describe_open_error(errno))};
        }
        // Only the end is read: a daemon that writes without end (a gigabyte of NUL bytes was
        // seen) must not flood the screen, and what a person needs is how the start ended.
        struct stat st {};
        const off_t size = ::fstat(fd.get(), &st) == 0 ? st.st_size : 0;
        const bool cut = size > static_cast<off_t>(STARTUP_LOG_TAIL_BYTES);
        if (cut && ::lseek(fd.get(), size - static_cast<off_t>(STARTUP_LOG_TAIL_BYTES), SEEK_SET) < 0)
            return {false, fmt::format("The system failed to read the startup log of “{}”: {}", service, std::strerror(errno))};
        auto content = FileUtils::read_all(fd.get(), STARTUP_LOG_TAIL_BYTES);
        if (!content) return {false, fmt::format("The system failed to read the startup log of “{}”: {}", service, std::strerror(errno))};
        if (content->empty()) return {false, fmt::format("“{}” has no startup log.", service)};
        // Whatever the daemon wrote, shown as its lines with no control character raw; the
        // noise taken out before the last lines are picked.
        const std::string clean =
            _decruft_log_for_service(service, Text::escape_control_keep_lines(*content));
        const std::string_view tail = last_lines(clean, STARTUP_LOG_TAIL_LINES, cut);
        const bool shortened = cut || tail.size() < clean.size();
        text = shortened ? fmt::format("(the startup log of “{}” is long: its last lines)\n", service) : "";
        // A line of a megabyte is noise too: its start says what it is.
        for (size_t at = 0; at < tail.size();) {
            size_t nl = tail.find('\n', at);
            const size_t end = nl == std::string_view::npos ? tail.size() : nl;
            const size_t length = end - at;
            if (length > STARTUP_LOG_LINE_BYTES)
                text += fmt::format("{} … ({} more bytes)", tail.substr(at, STARTUP_LOG_LINE_BYTES),
                                    length - STARTUP_LOG_LINE_BYTES);
            else
                text += tail.substr(at, length);
            if (nl != std::string_view::npos) text += '\n';
            at = end + 1;
        }
        return {true, text};
    }
    return {true, _decruft_log_for_service(service, std::move(text))};
}

bool _read_log(std::string& text, const std::string& path, const std::string& file, size_t read_bytes, size_t max_messages,
               const std::string& log_regex, ReadError* error) {
    auto fail = [&](const char* op, const std::string& why) {
        if (error) *error = {op, file, path, why};
        return false;
    };
    auto fd = FileUtils::open_regular_for_reading(path);
    if (!fd) return fail("open", FileUtils::describe_open_error(errno));
    struct stat st {};
    bool seeked = false;
    if (::fstat(fd.get(), &st) == 0 && static_cast<size_t>(st.st_size) > read_bytes) {
        if (::lseek(fd.get(), -static_cast<off_t>(read_bytes), SEEK_END) < 0) return fail("seek", std::strerror(errno));
        seeked = true;
    }
    auto content = FileUtils::read_all(fd.get(), read_bytes);
    if (!content) return fail("read", std::strerror(errno));
    if (content->empty()) return fail("read", "the file is empty");
    std::vector<std::string> lines = Text::split(*content, '\n');
    if (seeked && content->size() == read_bytes && !lines.empty()) lines.erase(lines.begin());  // a fragment
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.size() > max_messages) lines.erase(lines.begin(), lines.end() - static_cast<long>(max_messages));
    const Regex filter(log_regex, Regex::CASELESS | Regex::EXTENDED);
    std::string matched;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (filter.match(*it)) matched += (matched.empty() ? "" : "\n") + *it;
    if (!matched.empty()) text += (text.empty() ? "" : "\n") + matched;
    return true;
}

Result fetch_log_tail(const std::string& logfile, size_t max_messages) {
    const std::string path = logfile.starts_with("/") ? logfile : LOG_DIR() + "/" + logfile;
    std::string text;
    ReadError error;
    if (!_read_log(text, path, logfile, LOG_READ_BYTES, max_messages, ".", &error))
        return {false, fmt::format("The system failed to read “{}”: {} “{}”: {}", logfile, error.op, error.path, error.error)};
    return {true, text};
}

Result fetch_service_log_messages(const std::string& services_to_match, const std::string& command) {
    std::vector<std::string> names;
    static const Regex kSeparators(R"([\|\&]+)");
    for (const auto& n : kSeparators.split(services_to_match))
        if (!n.empty()) names.push_back(n);
    std::map<std::string, LogEntry> logs;
    for (const auto& name : logs_to_check()) logs[name] = {};
    const std::string lower = Text::lower(services_to_match);
    // A whole name: a service called "vxhttpd-proxy" is not Apache.
    auto named = [&](const char* want) {
        for (const auto& n : names)
            if (Text::lower(n) == want) return true;
        return false;
    };
    if (services_to_match.find("ftp") != std::string::npos) {
        names = {"pure-ftpd", "proftpd", "ftpd"};
    } else if (services_to_match.find("syslogd") != std::string::npos && !command.empty()) {
        names = {command};
    } else if (lower.find("exim") != std::string::npos) {
        logs["exim_mainlog"] = {64, LOG_READ_BYTES};
    } else if (lower.find("vexlan_php_fpm") != std::string::npos) {
        logs["/usr/local/vexlan/logs/php-fpm/error.log"] = {64, LOG_READ_BYTES};
    } else if (named("httpd") || named("apache2")) {
        logs["/var/log/apache2/error.log"] = {4096, 32768};
        names = {"httpd", "apache2"};
    } else if (named("mysql") || named("mariadb")) {
        logs["/var/log/mysql/error.log"] = {128, LOG_READ_BYTES};
        names = {"mysqld"};
    }
    for (const auto& n : names)
        if (!Validate::is_valid_service_name(n)) return {false, fmt::format("“{}” is not a valid service name.", n)};
    if (names.empty()) return {true, ""};
    std::string alternation;
    for (const auto& n : names) alternation += (alternation.empty() ? "" : "|") + Regex::quote(n);
    // A line of one of the named programs: "prog:", "prog[pid]:", or the program's own
    // bracketed tag.
    // "\b" alone would take "my-httpd[1]:" for httpd's: a name starts after no name character.
    const std::string start = R"((?<![\w.-]))";
    const std::string filter = "(?:" + start + "(?:" + alternation + ")\\[\\d+\\]:|" + start + "(?:" + alternation +
                               "):|\\[(?:" + alternation + ")\\])";
    std::string text;
    std::vector<ReadError> errors;
    bool any_read = false;
    for (const auto& [name, entry] : logs) {
        const std::string path = name.starts_with("/") ? name : LOG_DIR() + "/" + name;
        ReadError error;
        if (_read_log(text, path, name, entry.read_bytes, entry.max_messages, filter, &error))
            any_read = true;
        else
            errors.push_back(error);
    }
    if (!any_read) {
        std::string why;
        for (const auto& e : errors) why += fmt::format("\n{} “{}”: {}", e.op, e.path, e.error);
        return {false, fmt::format("No log of “{}” could be read:{}", services_to_match, why)};
    }
    return {true, text};
}

}  // namespace Vexlan::Services::Log
