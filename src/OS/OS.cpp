#include "OS/OS.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "OS/Distributions.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"
#include "Util/Text.hpp"

namespace Vexlan::OS {

namespace {
constexpr std::string_view kConfirmation = "facade";
std::unique_ptr<Data> g_instance;

std::string cache_link() { return Paths::get(Paths::Key::OsCacheDir) + "/os_info"; }

// The link's own time, not its target's.
time_t link_mtime(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

std::optional<Identity> read_cache() {
    const std::string link = cache_link();
    const time_t cached = link_mtime(link);
    if (cached == 0) return std::nullopt;
    if (link_mtime(Paths::get(Paths::Key::OsCustomDistroLink)) == 0) {
        const time_t release = FileUtils::mtime(Paths::get(Paths::Key::OsRelease));
        if (release != 0 && cached <= release) return std::nullopt;
    }
    char buf[512];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    auto parts = Text::split(std::string_view(buf, static_cast<size_t>(n)), '|');
    if (parts.size() != 5) return std::nullopt;
    return Identity{parts[0], parts[1], parts[2], parts[3], parts[4]};
}

void write_cache(const Identity& id) {
    if (::geteuid() != 0) return;
    const std::string dir = Paths::get(Paths::Key::OsCacheDir);
    if (!FileUtils::ensure_owned_directory(dir, 0711)) return;
    const std::string link = cache_link();
    ::unlink(link.c_str());
    // Failures are of no consequence: the next run identifies the distribution again.
    [[maybe_unused]] int rc = ::symlink(fmt::format("{}|{}|{}|{}|{}", id.platform, id.distro, id.major, id.minor, id.build).c_str(),
                                        link.c_str());
}

Data& instance() {
    if (!g_instance) {
        Identity id = get_os_info(kConfirmation);
        g_instance = data_class_for(id);
        if (id.platform.empty()) id.platform = "linux";
        g_instance->set_identity(id);
    }
    return *g_instance;
}

std::string text_fact(std::string_view name) {
    auto v = fact(name);
    return v.is_string() ? v.get<std::string>() : "";
}

std::map<std::string, std::string> map_fact(std::string_view name) {
    std::map<std::string, std::string> out;
    auto v = fact(name);
    if (v.is_object())
        for (auto it = v.begin(); it != v.end(); ++it)
            if (it->is_string()) out[it.key()] = it->get<std::string>();
    return out;
}
}  // namespace

const std::vector<std::string>& supported_methods() {
    static const std::vector<std::string> kFacts = [] {
        std::vector<std::string> v = {"binary_locations", "cron_bin_path",  "is_supported",
                                      "maillog_path",     "package_manager", "package_manager_module",
                                      "pretty_distro",    "retry_rpm_cmd_no_tty_hack", "setup_tz_method",
                                      "systemd_service_name_map"};
        std::sort(v.begin(), v.end());
        return v;
    }();
    return kFacts;
}

nlohmann::json fact(std::string_view name) {
    const auto& facts = supported_methods();
    if (std::find(facts.begin(), facts.end(), name) == facts.end())
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", fmt::format("“{}” is not a fact of the operating system.", name)}});
    Data& data = instance();
    auto value = data.fact(name);
    if (!value) throw Exception::create(Exception::Kinds::OSUnsupportedFact, {{"fact", std::string(name)}, {"class", data.class_name()}});
    return *value;
}

bool list_contains_value(std::string_view fact_name, const std::optional<std::string>& value) {
    auto list = fact(fact_name);
    if (!list.is_array())
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", fmt::format("“{}” is not a list.", fact_name)}});
    for (const auto& e : list) {
        if (!value && e.is_null()) return true;
        if (value && e.is_string() && e.get<std::string>() == *value) return true;
    }
    return false;
}

std::map<std::string, std::string> systemd_service_name_map() { return map_fact("systemd_service_name_map"); }
std::string systemd_unit_name(const std::string& service) {
    std::map<std::string, std::string> map;
    try {
        map = systemd_service_name_map();
    } catch (const Exception::Base&) {
        return service;
    }
    auto it = map.find(service);
    return it != map.end() && !it->second.empty() ? it->second : service;
}

std::string cron_bin_path() { return text_fact("cron_bin_path"); }
std::string maillog_path() { return text_fact("maillog_path"); }
std::string package_manager_module() { return text_fact("package_manager_module"); }
std::string package_manager() { return text_fact("package_manager"); }
std::map<std::string, std::string> binary_locations() { return map_fact("binary_locations"); }
std::string setup_tz_method() { return text_fact("setup_tz_method"); }
bool retry_rpm_cmd_no_tty_hack() {
    auto v = fact("retry_rpm_cmd_no_tty_hack");
    return v.is_boolean() && v.get<bool>();
}

std::string distro() { return instance().identity().distro; }
std::string major() { return instance().identity().major; }
std::string minor() { return instance().identity().minor; }
std::string build() { return instance().identity().build; }

void clear_cache_after_cloudlinux_update() { g_instance.reset(); }

int flush_disk_caches() {
    if (link_mtime(Paths::get(Paths::Key::OsCustomDistroLink)) != 0) return 0;
    ::unlink(cache_link().c_str());
    return 1;
}

Identity parse_os_release(const std::string& text, bool cloudlinux_marker) {
    static const Regex kSplit(R"(^([^=]*?)\s*=\s*(.*)$)");
    std::optional<std::string> distro, version_id, version;
    for (const auto& line : Text::lines(text)) {
        if (distro && version_id && version) break;
        auto m = kSplit.captures(line);
        if (!m) continue;
        std::string value = (*m)[2];
        if (auto ws = value.find_first_of(" \t\r\n"); ws != std::string::npos) value.resize(ws);
        if (!value.empty() && value.back() == '"') value.pop_back();
        if (!value.empty() && value.front() == '"') value.erase(0, 1);
        const std::string& key = (*m)[1];
        if (key == "ID" && !distro) distro = cloudlinux_marker ? std::string("cloudlinux") : value;
        else if (key == "VERSION_ID" && !version_id) version_id = value;
        else if (key == "VERSION" && !version) version = value;
    }
    Identity id;
    if (!distro) return id;
    id.distro = *distro;
    std::vector<std::string> parts = version_id ? Text::split(*version_id, '.') : std::vector<std::string>{};
    if (parts.size() > 0) id.major = parts[0];
    if (parts.size() > 1) id.minor = parts[1];
    if (parts.size() > 2) id.build = parts[2];
    if (id.major.empty() || id.minor.empty() || id.build.empty()) {
        std::vector<std::string> text_parts = version ? Text::split(*version, '.') : std::vector<std::string>{};
        if (id.major.empty() && !text_parts.empty()) id.major = text_parts[0];
        if (id.minor.empty()) id.minor = text_parts.size() > 1 ? text_parts[1] : "0";
        if (id.build.empty()) id.build = text_parts.size() > 2 ? text_parts[2] : "0";
    }
    return id;
}

Identity get_os_info(std::string_view confirmation) {
    if (confirmation != kConfirmation)
        throw Exception::create(Exception::Kinds::Generic, {{"message", "The distribution is identified through Vexlan::OS only."}});
    if (auto cached = read_cache()) return *cached;
    const std::string release = Paths::get(Paths::Key::OsRelease);
    auto text = FileUtils::read_file(release);
    if (!text) throw Exception::create(Exception::Kinds::IO::FileOpenError, {{"path", release}, {"mode", "read"}, {"error", errno}});
    Identity id = parse_os_release(*text, FileUtils::exists(Paths::get(Paths::Key::CloudLinuxMarker)));
    if (id.distro.empty() || id.major.empty() || id.minor.empty() || id.build.empty())
        throw Exception::create(Exception::Kinds::OSUnknown,
                                {{"distro", id.distro}, {"major", id.major}, {"minor", id.minor}, {"build", id.build}});
    write_cache(id);
    return id;
}

std::unique_ptr<Data> data_class_for(const Identity& id) {
    std::string name = id.distro;
    if (!name.empty()) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    auto data = load_data_class("Vexlan::OS::" + name + id.major);
    return data ? std::move(data) : load_data_class("Vexlan::OS::Linux");
}

}  // namespace Vexlan::OS
