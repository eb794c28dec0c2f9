#include "Services/Enabled.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include <fmt/format.h>

#include "Config/LoadVxConf.hpp"
#include "Output/Debug.hpp"
#include "Server/Type/Profile/Roles.hpp"
#include "Server/Type/Type.hpp"
#include "Util/GlobalCache.hpp"
#include "Services/Installed.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"
#include "Util/Text.hpp"

namespace Vexlan::Services::Enabled {

namespace {
// What a true value of a configuration-controlled service's key means.
enum class Meaning { Inverted, Direct };
struct ConfigRule {
    const char* key;
    Meaning meaning;
};
const std::map<std::string, ConfigRule>& config_controlled() {
    static const std::map<std::string, ConfigRule> kRules = {{CONFIG_CONTROLLED_SERVICE, {CONFIG_CONTROLLED_KEY, Meaning::Inverted}}};
    return kRules;
}

// Services whose software is not tested here: the panel's own daemons and services that
// are configuration, not programs.
const std::set<std::string>& installed_test_exceptions() {
    static const std::set<std::string> kSet = {"vxsrvd", "vexlanlogd", "vxdavd", "vxguardd", "svcmond",
                                               "queueprocd", "dnsadmin", "tailwatchd", "greylistd", "imap",
                                               "pop", "lmtp", "mailman", "exim-altport", "apache_php_fpm"};
    return kSet;
}

std::string disable_dir() { return Paths::get(Paths::Key::DisableDir); }

// Services whose disable files are others than the two default ones.
const std::map<std::string, std::vector<std::string>>& disable_file_exceptions() {
    static const std::map<std::string, std::vector<std::string>> kFiles = [] {
        auto in_dir = [](std::initializer_list<const char*> names) {
            std::vector<std::string> out;
            for (const char* n : names) out.push_back(disable_dir() + "/" + n);
            return out;
        };
        return std::map<std::string, std::vector<std::string>>{
            {"exim", in_dir({"exim", "eximdisable"})},          {"exim-altport", in_dir({"exim-altport", "exim"})},
            {"named", in_dir({"named", "nameddisable"})},       {"ftpd", in_dir({"ftpd", "ftpddisable"})},
            {"httpd", in_dir({"httpd", "apache"})},             {"mysql", in_dir({"mysql", "mysqldisable"})},
            {"postgresql", in_dir({"postgresql", "postgres"})}, {"imap", in_dir({"imap", "dovecot"})},
            {"pop", in_dir({"pop", "dovecot"})},                {"spamd", in_dir({"spamd", "spamassassin"})},
            {"crond", in_dir({"crond", "cron"})},               {"sshd", in_dir({"sshd", "ssh"})},
        };
    }();
    return kFiles;
}

bool truthy(const std::string& v) { return !v.empty() && v != "0"; }

// The services whose state comes from other modules.
bool greylisting_enabled() { return FileUtils::exists(Paths::get(Paths::Key::ProductDir) + "/etc/greylist_enabled"); }
bool vxguardd_enabled() { return !FileUtils::exists(disable_dir() + "/vxguardd"); }
bool vxdavd_is_needed() { return Server::Type::Profile::Roles::is_role_enabled("WebDisk"); }
bool spamd_enabled() { return !FileUtils::exists(disable_dir() + "/spamd.skip"); }

int disable_file_test(const std::string& service) {
    auto files = get_files_for_service(service);
    if (!files) return -1;
    for (const auto& path : *files) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) return 0;
        if (errno != ENOENT && errno != ENOTDIR)
            Debug::log_warn(fmt::format("The system failed to test “{}”: {}", path, std::strerror(errno)));
    }
    return 1;
}
}  // namespace

int is_enabled(const std::optional<std::string>& maybe_service) {
    if (!maybe_service) return -1;
    std::string service = *maybe_service;
    if (service == "greylistd") return greylisting_enabled() ? 1 : 0;
    if (service == "vxguardd") return vxguardd_enabled() ? 1 : 0;
    if (service == "imap") return get_dovecot_enabled_protocols().contains("imap") ? 1 : 0;
    if (service == "pop") return get_dovecot_enabled_protocols().contains("pop3") ? 1 : 0;
    if (service == "spamd") {
        if (is_enabled(std::string("exim")) == 0) return 0;
    } else if (service == "tailwatchd") {
        return disable_file_test(service) == 0 ? 0 : 1;  // its own list entry: on unless disabled
    } else if (service == "mysqld" || service == "mariadb") {
        service = "mysql";
    } else if (service == "pure-ftpd") {
        service = "ftpd";
    } else if (service == "vxdavd") {
        if (!vxdavd_is_needed()) return 0;
    } else if (service == "httpd") {
        if (Server::Type::is_dnsonly()) return 0;
    }
    if (service == "vxsrvd" || service == "vexlanlogd") return 1;
    if (auto rule = config_controlled().find(service); rule != config_controlled().end()) {
        const auto value = Config::LoadVxConf::value(rule->second.key).value_or("");
        return rule->second.meaning == Meaning::Inverted ? (truthy(value) ? 0 : 1) : (truthy(value) ? 1 : 0);
    }
    if (!installed_test_exceptions().contains(service) && !Installed::service_is_installed(service)) return 0;
    if (service == "spamd") return spamd_enabled() ? 1 : 0;
    return disable_file_test(service);
}

int is_provided(const std::optional<std::string>& service) {
    const int enabled = is_enabled(service);
    if (!service || !service->starts_with("mysql") || enabled) return enabled;
    if (auto remote = GlobalCache::data("has_remote_mysql")) return 1;
    return Config::LoadVxConf::value("remote_mysql_host").has_value() ? 1 : 0;
}

bool are_enabled(const Spec& spec) {
    for (const auto& s : spec.services) {
        const bool on = is_enabled(s) != 0;
        if (spec.any && on) return true;
        if (!spec.any && !on) return false;
    }
    return !spec.any;
}

bool are_provided(const Spec& spec) {
    for (const auto& s : spec.services) {
        const bool on = is_provided(s) != 0;
        if (spec.any && on) return true;
        if (!spec.any && !on) return false;
    }
    return !spec.any;
}

bool service_has_files(const std::string& service) {
    static const Regex kMail(R"(^imap|pop$)");
    return !config_controlled().contains(service) || kMail.match(service);
}

bool has_default_disable_file(const std::string& service) {
    for (const auto& path : {disable_dir() + "/" + service, disable_dir() + "/" + service + ".disable"}) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) return true;
    }
    return false;
}

std::optional<std::vector<std::string>> get_files_for_service(const std::string& service) {
    if (!service_has_files(service)) return std::nullopt;
    if (auto it = disable_file_exceptions().find(service); it != disable_file_exceptions().end()) return it->second;
    return std::vector<std::string>{disable_dir() + "/" + service, disable_dir() + "/" + service + ".disable"};
}

std::optional<bool> touch_disable_file(const std::optional<std::string>& service) {
    if (!service) return std::nullopt;
    if (is_enabled(service) == 0) return true;
    if (*service == "greylistd") {
        ::unlink((Paths::get(Paths::Key::ProductDir) + "/etc/greylist_enabled").c_str());
        return true;
    }
    if (!service_has_files(*service)) return true;
    auto files = get_files_for_service(*service);
    if (!files || files->empty()) return std::nullopt;
    const std::string& first = files->front();
    if (!FileUtils::ensure_owned_directory(first.substr(0, first.rfind('/')), 0700)) return false;
    UniqueFd fd = FileUtils::sysopen_with_real_perms(first, O_WRONLY | O_CREAT, 0600);
    if (!fd) return false;
    return ::futimens(fd.get(), nullptr) == 0;
}

std::optional<int> remove_disable_files(const std::optional<std::string>& service) {
    if (!service) return std::nullopt;
    auto files = get_files_for_service(*service);
    if (!files) return 1;
    int ok = 1;
    for (const auto& path : *files) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // links and directories stay
        if (::unlink(path.c_str()) != 0) ok = 0;
    }
    return ok;
}

std::set<std::string> get_dovecot_enabled_protocols() {
    std::string list;
    const std::string protocols_file = Paths::get(Paths::Key::MailProtocols);
    if (FileUtils::exists(protocols_file)) {
        list = FileUtils::read_file(protocols_file).value_or("");
    } else {
        auto text = FileUtils::read_file(Paths::get(Paths::Key::MailConfig));
        if (!text) {
            if (!std::getenv("VEXLAN_BASE_INSTALL") || !*std::getenv("VEXLAN_BASE_INSTALL"))
                Debug::log_warn(fmt::format("The system failed to read “{}”: {}", Paths::get(Paths::Key::MailConfig), std::strerror(errno)));
        } else {
            static const Regex kProtocols(R"(^protocols:[ \t]*([^\n]+))", Regex::MULTILINE);
            if (auto m = kProtocols.captures(*text)) list = (*m)[1];
        }
    }
    while (!list.empty() && (list.back() == ' ' || list.back() == '\t' || list.back() == '\n')) list.pop_back();
    if (list.empty()) list = "imap pop3";
    std::set<std::string> out;
    for (const auto& word : Text::split(list, ' '))
        if (!word.empty()) out.insert(word);
    return out;
}

}  // namespace Vexlan::Services::Enabled
