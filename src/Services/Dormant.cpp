#include "Services/Dormant.hpp"

#include <cerrno>
#include <map>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::Services {

namespace {
// Seconds of idleness before a connection is dropped, and idle minutes before dormancy.
const std::map<std::string, double> kIdleTimeout = {{"default", 600}, {"vxdavd", 1800}, {"vxsrvd", 900}};
const std::map<std::string, double> kGoDormantInNMinutes = {{"default", 10}, {"vxdavd", 15}, {"vxsrvd", 30}};

double table_value(const std::map<std::string, double>& table, const std::string& service) {
    auto it = table.find(service);
    return it != table.end() ? it->second : table.at("default");
}
}  // namespace

Dormant::Dormant(const std::string& service, std::optional<double> minimum_idle_timeout)
    : service_(service), last_connection_(::time(nullptr)) {
    if (service.empty()) throw Exception::create(Exception::Kinds::MissingParameter, {{"name", "service"}});
    const std::string dir = Paths::get(Paths::Key::DormantDir);
    enable_file_ = dir + "/" + service + "/" + ENABLE_FILE_NAME;
    const double minutes = go_dormant_in_n_minutes();
    if (minimum_idle_timeout && *minimum_idle_timeout > minutes * 60) {
        Debug::log_warn(fmt::format("“{}” would go dormant after {} minutes, less than its minimum of {} minutes.", service, minutes,
                                    *minimum_idle_timeout / 60));
        dormant_in_n_minutes_ = *minimum_idle_timeout / 60;
    }
    if (FileUtils::exists(dir + "/" + FAST_TEST_FILE_NAME)) {
        idle_timeout_ = 5;
        dormant_in_n_minutes_ = 0.25;
    }
    can_go_dormant_ = FileUtils::exists(enable_file_);
}

double Dormant::go_dormant_in_n_minutes() {
    if (dormant_in_n_minutes_) return *dormant_in_n_minutes_;
    double minutes = table_value(kGoDormantInNMinutes, service_);
    if (FileUtils::exists(enable_file_)) {
        auto line = FileUtils::read_first_line(enable_file_);
        if (!line)
            throw Exception::create(Exception::Kinds::IO::FileOpenError, {{"path", enable_file_}, {"mode", "read"}, {"error", errno}});
        // "10" means nine idle minutes; an empty, zero or unreadable number counts as 1.
        const long n = Number::parse_trimmed<long>(*line, 0, 1000000).value_or(1);
        if (n > 1) minutes = static_cast<double>(n - 1);
    }
    dormant_in_n_minutes_ = minutes;
    return minutes;
}

double Dormant::idle_timeout() {
    if (!idle_timeout_) idle_timeout_ = table_value(kIdleTimeout, service_);
    return *idle_timeout_;
}

bool Dormant::should_go_dormant() {
    if (!can_go_dormant_) return false;
    return static_cast<double>(::time(nullptr) - last_connection_) >= go_dormant_in_n_minutes() * 60;
}

}  // namespace Vexlan::Services
