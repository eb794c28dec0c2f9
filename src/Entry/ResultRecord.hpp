#pragma once
// The last line of a run in JSON mode: what a fleet tool needs to decide without reading
// English. Its shape is fixed by doc/result-record.schema.json; a change of meaning or a
// removed key raises RESULT_SCHEMA_VERSION.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace scripts::restartsrv_base {

inline constexpr int RESULT_SCHEMA_VERSION = 2;

// The states a record can give. The first five say what the service was seen to be when
// the run ended; the others say why the program did not get to look.
namespace State {
inline constexpr const char* Up = "up";
inline constexpr const char* Down = "down";
// Not up, and on its way: systemd runs its start job (or waits to restart it), or its stop job.
inline constexpr const char* Starting = "starting";
inline constexpr const char* Stopping = "stopping";
inline constexpr const char* CannotTell = "cannot-tell";
inline constexpr const char* Disabled = "disabled";
inline constexpr const char* NotConfigured = "not-configured";
inline constexpr const char* NotInstalled = "not-installed";
inline constexpr const char* Refused = "refused";
inline constexpr const char* Error = "error";
}  // namespace State

struct RunResult {
    std::string service;  // the name the caller meant, empty when none could be told
    std::string action;   // "restart", "check", … or a class's own action
    int exit = 0;
    bool acted = false;  // the action ran to its end and changed the service (not a check)
    std::string state = State::Error;
    std::optional<long> main_pid;
    std::string method;      // the check method that decided ("systemd", "pidfile+process", …)
    std::string error_kind;  // a stable word ("start-failed"); empty when the run went well
    std::string error_id;    // the identifier the error carries on the screen and in the log
    std::string message;
    // Why it failed, beyond the message's verdict: systemd's result and how the main process
    // ended, or the script's exit, and the last line of this run's startup log.
    std::string reason;
    // A check or status tells whether the service can reload (what a fleet tool predicts a
    // reload from); unknown for other actions.
    std::optional<bool> can_reload;
    std::chrono::system_clock::time_point started;
    std::chrono::steady_clock::duration duration{};
};

nlohmann::json result_record(const RunResult& result);

// The error kind as a word: "Services::StartFailed" → "start-failed", "Lock::NotObtained" →
// "lock-not-obtained". The service family's prefix is left out: every error of a run is
// about the service.
std::string error_kind_word(std::string_view kind);

// The state an error of this kind stands for, or nothing when the service must be looked
// at (an action that failed may have left it up or down).
std::optional<std::string> state_for_error_kind(std::string_view kind);

// The main pid and the check method a status line names ("… with PID 42 (systemd check
// method)."); nothing of either when the line does not say.
struct StatusFacts {
    std::optional<long> main_pid;
    std::string method;
};
StatusFacts facts_of_status_line(const std::string& line);

}  // namespace scripts::restartsrv_base
