#include "Entry/ResultRecord.hpp"

#include <unistd.h>

#include <ctime>

#include <fmt/format.h>

#include "Util/Number.hpp"
#include "Util/Regex.hpp"

#include "Version.inc"

namespace scripts::restartsrv_base {

namespace {
std::string host_name() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "";
    return buf;
}

std::string utc_time(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    ::gmtime_r(&secs, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return fmt::format("{}.{:03}Z", buf, ms % 1000);
}

nlohmann::json text_or_null(const std::string& s) {
    return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s);
}
}  // namespace

nlohmann::json result_record(const RunResult& r) {
    const double seconds = std::chrono::duration<double>(r.duration).count();
    return {
        {"type", "result"},
        {"schema", RESULT_SCHEMA_VERSION},
        {"service", text_or_null(r.service)},
        {"action", text_or_null(r.action)},
        {"ok", r.exit == 0},
        {"exit", r.exit},
        {"acted", r.acted},
        {"state", r.state},
        {"main_pid", r.main_pid ? nlohmann::json(*r.main_pid) : nlohmann::json(nullptr)},
        {"method", text_or_null(r.method)},
        {"error_kind", text_or_null(r.error_kind)},
        {"error_id", text_or_null(r.error_id)},
        {"message", r.message},
        {"reason", text_or_null(r.reason)},
        {"can_reload", r.can_reload ? nlohmann::json(*r.can_reload) : nlohmann::json(nullptr)},
        {"started_at", utc_time(r.started)},
        {"duration_ms", static_cast<long>(seconds * 1000.0 + 0.5)},
        {"host", host_name()},
        {"version", VEXLAN_VERSION},
    };
}

std::string error_kind_word(std::string_view kind) {
    // Starting or stopping is still not up: the word stays the one callers test for, and the
    // record's state says which way the service is going.
    if (kind.starts_with("Services::Down::")) return "down";
    if (kind.starts_with("Services::")) kind.remove_prefix(std::string_view("Services::").size());
    auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
    auto lower = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    std::string word;
    for (size_t i = 0; i < kind.size(); ++i) {
        const char c = kind[i];
        // A word starts at a capital after a small letter, or at the last capital of a run
        // that a small letter follows ("IOFile" → "io-file").
        const bool starts = upper(c) && i > 0 &&
                            (lower(kind[i - 1]) || (upper(kind[i - 1]) && i + 1 < kind.size() && lower(kind[i + 1])));
        if ((c == ':' || starts) && !word.empty() && word.back() != '-') word += '-';
        if (c == ':') continue;
        word += upper(c) ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return word.empty() ? "error" : word;
}

std::optional<std::string> state_for_error_kind(std::string_view kind) {
    static const std::pair<std::string_view, const char*> kStates[] = {
        {"Services::NotConfigured", State::NotConfigured},
        {"Services::NotInstalled", State::NotInstalled},
        {"Services::Unknown", State::NotInstalled},
        {"Services::NoBinary", State::NotInstalled},
        {"Services::Disabled", State::Disabled},
        {"Services::RoleDisabled", State::Disabled},
        {"RoleDisabled", State::Disabled},
        {"Services::Down", State::Down},
        {"Services::Down::Starting", State::Starting},
        {"Services::Down::Stopping", State::Stopping},
        {"Services::Undetermined", State::CannotTell},
        {"NotPrivileged", State::Refused},
        {"Lock::NotObtained", State::Refused},
    };
    for (const auto& [k, state] : kStates)
        if (k == kind) return std::string(state);
    // A failed action may have left the service either way: only a look tells.
    if (kind == "Services::StartFailed" || kind == "Services::StopFailed" || kind == "Services::RestartFailed" ||
        kind == "Services::ReloadFailed")
        return std::nullopt;
    return std::string(State::Error);
}

StatusFacts facts_of_status_line(const std::string& line) {
    // Anchored at the end: the command line shown earlier in the line is another user's text
    // and may itself contain "with PID …".
    static const Vexlan::Regex kTail(R"((?:with PID (\d{1,10})(?:, \d+)* )?\(([^()]+) check method\)\.?\s*\z)");
    StatusFacts facts;
    auto m = kTail.captures(line);
    if (!m) return facts;
    if (!(*m)[1].empty()) {
        if (auto pid = Vexlan::Number::parse_pid((*m)[1])) facts.main_pid = *pid;
    }
    facts.method = (*m)[2];
    return facts;
}

}  // namespace scripts::restartsrv_base
