#include "OS/Distributions.hpp"

namespace Vexlan::OS {

namespace {
using nlohmann::json;

json debian12() {
    return {
        {"pretty_distro", "Debian"},
        {"is_supported", true},
        {"systemd_service_name_map",
         {{"exim", "exim4"}, {"httpd", "apache2"}, {"crond", "cron"}, {"sshd", "ssh"}, {"mysql", "mariadb"},
          {"ftpd", "pure-ftpd"}, {"rsyslogd", "rsyslog"}, {"syslogd", "rsyslog"}, {"redis", "redis-server"},
          {"imap", "dovecot"}, {"pop", "dovecot"}, {"clamd", "clamav-daemon"}, {"spamd", "spamd"}}},
        {"cron_bin_path", "/usr/sbin/cron"},
        {"maillog_path", "/var/log/mail.log"},
        {"package_manager_module", "Apt"},
        {"package_manager", "apt"},
        {"binary_locations",
         {{"exim", "/usr/sbin"}, {"exim4", "/usr/sbin"}, {"apache2", "/usr/sbin"}, {"httpd", "/usr/sbin"},
          {"nginx", "/usr/sbin"}, {"named", "/usr/sbin"}, {"mysqld", "/usr/sbin"}, {"mariadbd", "/usr/sbin"},
          {"dovecot", "/usr/sbin"}, {"pure-ftpd", "/usr/sbin"}, {"sshd", "/usr/sbin"}, {"cron", "/usr/sbin"},
          {"rsyslogd", "/usr/sbin"}, {"clamd", "/usr/sbin"}, {"spamd", "/usr/sbin"}, {"pdns_server", "/usr/sbin"},
          {"redis-server", "/usr/bin"}, {"memcached", "/usr/bin"}, {"postgres", "/usr/lib/postgresql/15/bin"}}},
        {"setup_tz_method", "localtime_link"},
        {"retry_rpm_cmd_no_tty_hack", false},
    };
}

json rhel_family(const char* pretty) {
    return {
        {"pretty_distro", pretty},
        {"is_supported", true},
        {"systemd_service_name_map",
         {{"exim", "exim"}, {"httpd", "httpd"}, {"crond", "crond"}, {"sshd", "sshd"}, {"mysql", "mysqld"},
          {"ftpd", "pure-ftpd"}, {"rsyslogd", "rsyslog"}, {"syslogd", "rsyslog"}, {"redis", "redis"},
          {"imap", "dovecot"}, {"pop", "dovecot"}, {"clamd", "clamd"}, {"spamd", "spamd"}}},
        {"cron_bin_path", "/usr/sbin/crond"},
        {"maillog_path", "/var/log/maillog"},
        {"package_manager_module", "Yum"},
        {"package_manager", "dnf"},
        {"binary_locations",
         {{"exim", "/usr/sbin"}, {"httpd", "/usr/sbin"}, {"nginx", "/usr/sbin"}, {"named", "/usr/sbin"},
          {"mysqld", "/usr/sbin"}, {"mariadbd", "/usr/libexec"}, {"dovecot", "/usr/sbin"}, {"pure-ftpd", "/usr/sbin"},
          {"sshd", "/usr/sbin"}, {"crond", "/usr/sbin"}, {"rsyslogd", "/usr/sbin"}, {"clamd", "/usr/sbin"},
          {"spamd", "/usr/bin"}, {"pdns_server", "/usr/sbin"}, {"redis-server", "/usr/bin"}, {"memcached", "/usr/bin"},
          {"postgres", "/usr/bin"}}},
        {"setup_tz_method", "timedatectl"},
        {"retry_rpm_cmd_no_tty_hack", true},
    };
}

// What any Linux has, for a distribution without a data class of its own.
json generic_linux() {
    return {
        {"pretty_distro", "Linux"},
        {"is_supported", false},
        {"systemd_service_name_map", json::object()},
        {"cron_bin_path", "/usr/sbin/cron"},
        {"maillog_path", "/var/log/maillog"},
        {"binary_locations", json::object()},
        {"setup_tz_method", "localtime_link"},
        {"retry_rpm_cmd_no_tty_hack", false},
    };
}
}  // namespace

std::optional<nlohmann::json> TableData::fact(std::string_view name) const {
    auto it = facts_.find(std::string(name));
    if (it == facts_.end()) return std::nullopt;
    return *it;
}

std::unique_ptr<Data> load_data_class(const std::string& class_name) {
    if (class_name == "Vexlan::OS::Debian12") return std::make_unique<TableData>(class_name, debian12());
    for (const char* rhel : {"Vexlan::OS::Cloudlinux8", "Vexlan::OS::Cloudlinux9", "Vexlan::OS::Almalinux8",
                             "Vexlan::OS::Almalinux9", "Vexlan::OS::Rocky8", "Vexlan::OS::Rocky9"})
        if (class_name == rhel) return std::make_unique<TableData>(class_name, rhel_family(class_name.c_str() + 12));
    if (class_name == "Vexlan::OS::Linux") return std::make_unique<TableData>(class_name, generic_linux());
    return nullptr;
}

}  // namespace Vexlan::OS
