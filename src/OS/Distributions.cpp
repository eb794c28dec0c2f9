#include "OS/Distributions.hpp"

namespace Vexlan::OS {

namespace {
using nlohmann::json;
using Pair = std::pair<std::string_view, std::string_view>;

constexpr Pair kDebianUnitNames[] = {
    {"exim", "exim4"},        {"httpd", "apache2"}, {"crond", "cron"},       {"sshd", "ssh"},          {"mysql", "mariadb"},
    {"ftpd", "pure-ftpd"},    {"rsyslogd", "rsyslog"}, {"syslogd", "rsyslog"}, {"redis", "redis-server"},
    {"imap", "dovecot"},      {"pop", "dovecot"},   {"clamd", "clamav-daemon"}, {"spamd", "spamd"}};
constexpr Pair kDebianBinaries[] = {
    {"exim", "/usr/sbin"},    {"exim4", "/usr/sbin"},     {"apache2", "/usr/sbin"},   {"httpd", "/usr/sbin"},
    {"nginx", "/usr/sbin"},   {"named", "/usr/sbin"},     {"mysqld", "/usr/sbin"},    {"mariadbd", "/usr/sbin"},
    {"dovecot", "/usr/sbin"}, {"pure-ftpd", "/usr/sbin"}, {"sshd", "/usr/sbin"},      {"cron", "/usr/sbin"},
    {"rsyslogd", "/usr/sbin"}, {"clamd", "/usr/sbin"},    {"spamd", "/usr/sbin"},     {"pdns_server", "/usr/sbin"},
    {"redis-server", "/usr/bin"}, {"memcached", "/usr/bin"}, {"postgres", "/usr/lib/postgresql/15/bin"}};
constexpr Pair kRhelUnitNames[] = {
    {"exim", "exim"},         {"httpd", "httpd"},     {"crond", "crond"},     {"sshd", "sshd"},     {"mysql", "mysqld"},
    {"ftpd", "pure-ftpd"},    {"rsyslogd", "rsyslog"}, {"syslogd", "rsyslog"}, {"redis", "redis"},
    {"imap", "dovecot"},      {"pop", "dovecot"},     {"clamd", "clamd"},     {"spamd", "spamd"}};
constexpr Pair kRhelBinaries[] = {
    {"exim", "/usr/sbin"},    {"httpd", "/usr/sbin"},   {"nginx", "/usr/sbin"},     {"named", "/usr/sbin"},
    {"mysqld", "/usr/sbin"},  {"mariadbd", "/usr/libexec"}, {"dovecot", "/usr/sbin"}, {"pure-ftpd", "/usr/sbin"},
    {"sshd", "/usr/sbin"},    {"crond", "/usr/sbin"},   {"rsyslogd", "/usr/sbin"},  {"clamd", "/usr/sbin"},
    {"spamd", "/usr/bin"},    {"pdns_server", "/usr/sbin"}, {"redis-server", "/usr/bin"}, {"memcached", "/usr/bin"},
    {"postgres", "/usr/bin"}};

// An empty text is a fact the distribution does not provide.
constexpr DistroTable kDebian12 = {"Debian", true, kDebianUnitNames, "/usr/sbin/cron", "/var/log/mail.log", "Apt", "apt",
                                   kDebianBinaries, "localtime_link", false};
// The RHEL family's pretty name is its class's own (Cloudlinux8, Rocky9, ...).
constexpr DistroTable kRhelFamily = {"", true, kRhelUnitNames, "/usr/sbin/crond", "/var/log/maillog", "Yum", "dnf",
                                     kRhelBinaries, "timedatectl", true};
// What any Linux has, for a distribution without a data class of its own.
constexpr DistroTable kGenericLinux = {"Linux", false, {}, "/usr/sbin/cron", "/var/log/maillog", "", "",
                                       {}, "localtime_link", false};

json object_of(std::span<const Pair> pairs) {
    json out = json::object();
    for (const auto& [key, value] : pairs) out[std::string(key)] = std::string(value);
    return out;
}
std::optional<json> text(std::string_view value) {
    if (value.empty()) return std::nullopt;
    return json(std::string(value));
}
}  // namespace

// Only the fact asked for is built: a status asks for one of ten.
std::optional<nlohmann::json> TableData::fact(std::string_view name) const {
    if (name == "pretty_distro") return text(pretty_distro_);
    if (name == "is_supported") return json(table_.is_supported);
    if (name == "systemd_service_name_map") return object_of(table_.systemd_service_name_map);
    if (name == "cron_bin_path") return text(table_.cron_bin_path);
    if (name == "maillog_path") return text(table_.maillog_path);
    if (name == "package_manager_module") return text(table_.package_manager_module);
    if (name == "package_manager") return text(table_.package_manager);
    if (name == "binary_locations") return object_of(table_.binary_locations);
    if (name == "setup_tz_method") return text(table_.setup_tz_method);
    if (name == "retry_rpm_cmd_no_tty_hack") return json(table_.retry_rpm_cmd_no_tty_hack);
    return std::nullopt;
}

std::unique_ptr<Data> load_data_class(const std::string& class_name) {
    if (class_name == "Vexlan::OS::Debian12") return std::make_unique<TableData>(class_name, kDebian12, kDebian12.pretty_distro);
    for (const char* rhel : {"Vexlan::OS::Cloudlinux8", "Vexlan::OS::Cloudlinux9", "Vexlan::OS::Almalinux8",
                             "Vexlan::OS::Almalinux9", "Vexlan::OS::Rocky8", "Vexlan::OS::Rocky9"})
        if (class_name == rhel) return std::make_unique<TableData>(class_name, kRhelFamily, class_name.substr(12));
    if (class_name == "Vexlan::OS::Linux") return std::make_unique<TableData>(class_name, kGenericLinux, kGenericLinux.pretty_distro);
    return nullptr;
}

}  // namespace Vexlan::OS
