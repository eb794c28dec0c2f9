#pragma once
// The bookkeeping of a daemon that may go dormant: exit while idle and be started again on
// demand. Whether dormancy is allowed (its enable file), after how many idle minutes, and
// the idle time-out.
#include <ctime>
#include <optional>
#include <string>

namespace Vexlan::Services {

class Dormant {
public:
    // Throws MissingParameter without a service; warns and raises the minutes to the
    // minimum when `minimum_idle_timeout` (seconds) exceeds them.
    explicit Dormant(const std::string& service, std::optional<double> minimum_idle_timeout = std::nullopt);

    void got_an_active_connection() { last_connection_ = ::time(nullptr); }
    time_t get_last_connection() const { return last_connection_; }
    bool is_enabled() const { return can_go_dormant_; }
    double idle_timeout();
    double go_dormant_in_n_minutes();
    bool should_go_dormant();
    const std::string& enable_file() const { return enable_file_; }

    static constexpr const char* ENABLE_FILE_NAME = "enabled";
    static constexpr const char* FAST_TEST_FILE_NAME = ".fast_test";

private:
    std::string service_;
    std::string enable_file_;
    time_t last_connection_;
    bool can_go_dormant_ = false;
    std::optional<double> idle_timeout_;
    std::optional<double> dormant_in_n_minutes_;
};

}  // namespace Vexlan::Services
