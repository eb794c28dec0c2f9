#include "Binaries/Binaries.hpp"

#include "Exception/Exception.hpp"
#include "OS/OS.hpp"

namespace Vexlan::Binaries {

const std::map<std::string, std::string>& thirdparty_binary_locations() {
    // The static part, and (computed once) the programs of the panel's own PHP build.
    static const std::map<std::string, std::string> kTable = [] {
        std::map<std::string, std::string> t = {{"vexlan-git", PANEL_BIN_DIR}, {"vexlan-perl", PANEL_BIN_DIR},
                                                {"vexlan-wget", PANEL_BIN_DIR}};
        for (const char* php : {"php", "php-cgi", "php-fpm", "phpize"}) t[php] = PANEL_PHP_DIR;
        return t;
    }();
    return kTable;
}

const std::map<std::string, std::string>& system_bin_locations() {
    static const std::map<std::string, std::string> kTable = {
        {"ionice", "/usr/bin"},     {"rpm", "/usr/bin"},         {"dpkg-query", "/usr/bin"}, {"systemctl", "/usr/bin"},
        {"infocmp", "/usr/bin"},    {"journalctl", "/usr/bin"},  {"mysqladmin", "/usr/bin"}, {"sh", "/bin"},
        {"kill", "/bin"},           {"ps", "/bin"},              {"ip", "/usr/sbin"},        {"start-stop-daemon", "/usr/sbin"},
        {"setpriv", "/usr/bin"},    {"getent", "/usr/bin"},
    };
    return kTable;
}

std::optional<std::string> find(const std::string& name) {
    if (name.empty()) return std::nullopt;
    const auto& thirdparty = thirdparty_binary_locations();
    if (auto it = thirdparty.find(name); it != thirdparty.end()) return it->second + "/" + name;
    if (auto it = system_bin_locations().find(name); it != system_bin_locations().end()) return it->second + "/" + name;
    std::map<std::string, std::string> distro;
    try {
        distro = OS::binary_locations();
    } catch (const Exception::Base&) {
        // An unidentified distribution has no table of its own.
    }
    if (auto it = distro.find(name); it != distro.end()) return it->second + "/" + name;
    return std::nullopt;
}

std::optional<std::string> path(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (auto found = find(name)) return found;
    auto quiet = Exception::get_stack_trace_suppressor();
    throw Exception::create(Exception::Kinds::Generic, {{"message", "No program table knows “" + name + "”."}});
}

}  // namespace Vexlan::Binaries
