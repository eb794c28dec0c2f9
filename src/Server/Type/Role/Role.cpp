#include "Server/Type/Role/Role.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "Exception/Exception.hpp"
#include "Util/GlobalCache.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::Server::Type {

namespace {
std::map<std::string, std::string>& enabled_cache() {
    static std::map<std::string, std::string> m;
    return m;
}
std::map<std::string, bool>& available_cache() {
    static std::map<std::string, bool> m;
    return m;
}

// The thirteen roles.
struct SimpleRole : TouchFileRole {
    SimpleRole(std::string name, std::string display, std::vector<std::string> services, std::vector<std::string> restart = {})
        : name_(std::move(name)), display_(std::move(display)), services_(std::move(services)), restart_(std::move(restart)) {}
    std::string short_name() const override { return name_; }
    std::string _NAME() const override { return display_; }
    std::vector<std::string> SERVICES() const override { return services_; }
    std::vector<std::string> RESTART_SERVICES() const override { return restart_; }

private:
    std::string name_, display_;
    std::vector<std::string> services_, restart_;
};

// PostgreSQL is a role only where the product set it up.
struct PostgresRole : SimpleRole {
    PostgresRole() : SimpleRole("Postgres", "PostgreSQL", {"postgresql"}) {}
    bool _is_available() const override { return GlobalCache::data("has_postgres").has_value(); }
};

const std::vector<std::unique_ptr<Role>>& catalogue() {
    static const std::vector<std::unique_ptr<Role>> kRoles = [] {
        std::vector<std::unique_ptr<Role>> r;
        r.push_back(std::make_unique<SimpleRole>("CalendarContact", "Calendars and Contacts", std::vector<std::string>{"vxdavd"},
                                                 std::vector<std::string>{"vxdavd", "dovecot"}));
        r.push_back(std::make_unique<SimpleRole>("DNS", "DNS", std::vector<std::string>{"named", "pdns"}));
        r.push_back(std::make_unique<SimpleRole>("FTP", "FTP", std::vector<std::string>{"ftpd", "pure-ftpd", "proftpd"}));
        r.push_back(std::make_unique<SimpleRole>("FileStorage", "File Storage", std::vector<std::string>{}));
        r.push_back(std::make_unique<SimpleRole>("MailLocal", "Local Mail", std::vector<std::string>{"imap", "pop", "dovecot", "lmtp"}));
        r.push_back(std::make_unique<SimpleRole>("MailReceive", "Receive Mail", std::vector<std::string>{"exim", "greylistd"},
                                                 std::vector<std::string>{"exim"}));
        r.push_back(std::make_unique<SimpleRole>("MailSend", "Send Mail", std::vector<std::string>{"exim", "exim-altport"}));
        r.push_back(std::make_unique<SimpleRole>("MySQL", "MySQL/MariaDB", std::vector<std::string>{"mysql", "mysqld", "mariadb"}));
        r.push_back(std::make_unique<PostgresRole>());
        r.push_back(std::make_unique<SimpleRole>("SpamFilter", "Spam Filter", std::vector<std::string>{"spamd"}));
        r.push_back(std::make_unique<SimpleRole>("WebDisk", "Web Disk", std::vector<std::string>{"vxdavd"}, std::vector<std::string>{"vxdavd"}));
        r.push_back(std::make_unique<SimpleRole>("WebServer", "Web Server", std::vector<std::string>{"httpd", "nginx", "apache_php_fpm"}));
        r.push_back(std::make_unique<SimpleRole>("Webmail", "Webmail", std::vector<std::string>{}));
        return r;
    }();
    return kRoles;
}

[[noreturn]] void misuse(const std::string& what) {
    throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", what}});
}
}  // namespace

int Role::is_available() const {
    auto& cache = available_cache();
    if (auto it = cache.find(class_name()); it != cache.end()) return it->second;
    return cache[class_name()] = _is_available();
}

int Role::is_enabled() const {
    if (auto cached = EnabledCache::get(class_name())) return *cached == "1";
    const bool on = is_available() && _is_enabled();
    EnabledCache::set(class_name(), on ? "1" : "0");
    return on;
}

void Role::verify_enabled() const {
    if (!is_enabled()) throw Exception::create(Exception::Kinds::RoleDisabled, {{"role", short_name()}});
}

std::string TouchFileRole::_TOUCHFILE() const { return Paths::get(Paths::Key::RolesDir) + "/" + short_name(); }

bool TouchFileRole::check_touchfile() const {
    struct stat st {};
    if (::stat(_TOUCHFILE().c_str(), &st) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw Exception::create(Exception::Kinds::IO::FileOpenError, {{"path", _TOUCHFILE()}, {"mode", "stat"}, {"error", errno}});
}

const Role* Role_::get(const std::string& short_name) {
    for (const auto& r : catalogue())
        if (r->short_name() == short_name) return r.get();
    return nullptr;
}

const std::vector<std::string>& Role_::get_all_possible_roles() {
    static const std::vector<std::string> kNames = [] {
        std::vector<std::string> out;
        for (const auto& r : catalogue()) out.push_back(r->class_name());
        return out;
    }();
    return kNames;
}

std::string EnabledCache::set(const std::string& class_name, const std::string& value) {
    if (value != "0" && value != "1") misuse("A role state is \"0\" or \"1\", not “" + value + "”.");
    enabled_cache()[class_name] = value;
    return value;
}

std::optional<std::string> EnabledCache::get(const std::string& class_name) {
    auto it = enabled_cache().find(class_name);
    if (it == enabled_cache().end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> EnabledCache::unset(const std::string& class_name) {
    auto v = get(class_name);
    enabled_cache().erase(class_name);
    return v;
}

void EnabledCache::_unset_all() { enabled_cache().clear(); }

void clear_available_cache() { available_cache().clear(); }

}  // namespace Vexlan::Server::Type
