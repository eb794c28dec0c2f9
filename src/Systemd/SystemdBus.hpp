#pragma once
// systemd's own API over its bus: one connection per run, opened on first use (as root the
// manager's private socket, else the system bus). Answers are kept until something can have
// changed them (an action, a new round of a wait), so a status costs one call per unit.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Systemd/PropertyMap.hpp"

struct sd_bus;

namespace Vexlan::RestartSrv::Systemd {

// One process of a unit's control group, as systemd lists it.
struct UnitProcess {
    std::string cgroup;
    pid_t pid = 0;
    std::string command;
};

// The outcome of a job (start, stop, restart, reload) that systemd ran to its end.
struct JobOutcome {
    bool ok = false;
    std::string result;  // systemd's job result: "done", "failed", "canceled", ...
    std::string error;   // what went wrong, worded as systemctl words it; empty when ok
};

// "<doing> <unit> failed because <systemd's reason>." for a unit that ended in the failed
// state (doing: "Stopping", ...).
std::string failed_unit_text(const std::string& unit, const std::string& doing, const std::string& service_result);

class Bus {
public:
    // The process's connection.
    static Bus& get();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // False when no systemd can be reached: then no unit exists for this program.
    bool reachable();
    // Why systemd could not be reached (empty when it could).
    const std::string& unreachable_reason() const { return why_; }

    // The unit's properties that the program reads (the property query's keys, "Job" and
    // "Id"), valued as systemctl show prints them; nullptr when systemd is unreachable or did
    // not answer. Valid until the next forget().
    const PropertyMap* unit_properties(const std::string& unit);
    // The processes of the unit's control group; nullopt when systemd did not answer.
    std::optional<std::vector<UnitProcess>> unit_processes(const std::string& unit);
    // Runs StartUnit, StopUnit, RestartUnit or ReloadUnit and waits for the job's end. `verb`
    // is what the caller asked for, as its errors say it (a start may ask for RestartUnit, and
    // is still a start); empty, the method's own verb.
    JobOutcome run_job(const std::string& method, const std::string& unit, double timeout_seconds = 3600,
                       std::string_view verb = {});

    // Drops every kept answer: the next question asks systemd again.
    void forget();
    // Calls sent to systemd so far (for the debug report).
    unsigned calls() const { return calls_; }
    // Closes the connection (the next use opens a new one).
    void close();

private:
    Bus() = default;
    bool connect();
    void end_subscription();
    // Processes incoming messages until `pending` (counted down by their handlers) is 0.
    bool wait_for_answers(const int& pending);

    sd_bus* bus_ = nullptr;
    bool tried_ = false;
    bool subscribed_ = false;
    std::string why_;
    unsigned calls_ = 0;
    std::vector<std::pair<std::string, std::unique_ptr<PropertyMap>>> properties_;
    std::vector<std::pair<std::string, std::vector<UnitProcess>>> processes_;
};

// The systemctl verb of a job method ("RestartUnit" → "restart"), for messages that read
// like systemctl's.
std::string verb_of(std::string_view method);

}  // namespace Vexlan::RestartSrv::Systemd
