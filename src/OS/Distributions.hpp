#pragma once
// The per-distribution data classes behind the operating-system facts.
#include <span>
#include <string_view>
#include <utility>

#include "OS/OS.hpp"

namespace Vexlan::OS {

// One distribution's facts, as constant data.
struct DistroTable {
    std::string_view pretty_distro;
    bool is_supported;
    std::span<const std::pair<std::string_view, std::string_view>> systemd_service_name_map;
    std::string_view cron_bin_path;
    std::string_view maillog_path;
    std::string_view package_manager_module;
    std::string_view package_manager;
    std::span<const std::pair<std::string_view, std::string_view>> binary_locations;
    std::string_view setup_tz_method;
    bool retry_rpm_cmd_no_tty_hack;
};

// A data class whose facts are a fixed table.
class TableData : public Data {
public:
    TableData(std::string class_name, const DistroTable& table, std::string_view pretty_distro)
        : class_name_(std::move(class_name)), table_(table), pretty_distro_(pretty_distro) {}
    std::string class_name() const override { return class_name_; }
    std::optional<nlohmann::json> fact(std::string_view name) const override;

private:
    std::string class_name_;
    const DistroTable& table_;
    std::string pretty_distro_;
};

// Vexlan::OS::Debian12, Vexlan::OS::Cloudlinux8 (and the RHEL family releases that share
// its facts), and the generic Vexlan::OS::Linux; nullptr for a class that does not exist.
std::unique_ptr<Data> load_data_class(const std::string& class_name);

}  // namespace Vexlan::OS
