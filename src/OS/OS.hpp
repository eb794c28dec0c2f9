#pragma once
// The facts that differ between the distributions the panel runs on, asked of one facade
// that identifies the distribution once per process and forwards every question to the
// distribution's data class.
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Vexlan::OS {

// The five identification values.
struct Identity {
    std::string platform = "linux";
    std::string distro;
    std::string major;
    std::string minor;
    std::string build;
};

// A distribution's facts by name: what its data class knows.
class Data {
public:
    virtual ~Data() = default;
    virtual std::string class_name() const = 0;
    // The fact, or nothing when this class does not provide it.
    virtual std::optional<nlohmann::json> fact(std::string_view name) const = 0;
    const Identity& identity() const { return identity_; }
    void set_identity(Identity id) { identity_ = std::move(id); }

private:
    Identity identity_;
};

// Every fact the facade accepts, sorted.
const std::vector<std::string>& supported_methods();
// Any fact by name: raises when the name is not a fact (before the distribution is
// identified) or the distribution's class does not provide it.
nlohmann::json fact(std::string_view name);
// True when the fact (a list) holds the value.
bool list_contains_value(std::string_view fact_name, const std::optional<std::string>& value);

// The systemd unit name of a service (the distribution's name map, else the name itself;
// also when the distribution cannot be identified).
std::string systemd_unit_name(const std::string& service);

// The facts this program asks for.
std::map<std::string, std::string> systemd_service_name_map();
std::string cron_bin_path();
std::string maillog_path();
std::string package_manager_module();
std::string package_manager();
std::map<std::string, std::string> binary_locations();
std::string setup_tz_method();
bool retry_rpm_cmd_no_tty_hack();

std::string distro();
std::string major();
std::string minor();
std::string build();

// Forgets the distribution so that the next question identifies it again.
void clear_cache_after_cloudlinux_update();
// Removes the identification cache unless a custom distribution is named; 1 when removed.
int flush_disk_caches();

// The identification routine; refuses to run without the facade's confirmation word.
Identity get_os_info(std::string_view confirmation);
// The identification from a release description's text (no cache).
Identity parse_os_release(const std::string& text, bool cloudlinux_marker);

// Test-only: the data class chosen for an identity.
std::unique_ptr<Data> data_class_for(const Identity& id);

}  // namespace Vexlan::OS
