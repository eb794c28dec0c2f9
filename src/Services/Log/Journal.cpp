#include "Services/Log/Journal.hpp"

#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>

#include <ctime>
#include <vector>

#include <fmt/format.h>

#include "Binaries/Binaries.hpp"
#include "SafeRun/Object.hpp"
#include "Util/Text.hpp"

namespace Vexlan::Services::Log::Journal {

namespace {
std::string field(sd_journal* j, const char* name) {
    const void* data = nullptr;
    size_t length = 0;
    if (sd_journal_get_data(j, name, &data, &length) < 0) return "";
    std::string_view entry(static_cast<const char*>(data), length);
    auto eq = entry.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(entry.substr(eq + 1));
}

std::string line_of(sd_journal* j) {
    uint64_t usec = 0;
    sd_journal_get_realtime_usec(j, &usec);
    time_t seconds = static_cast<time_t>(usec / 1000000);
    struct tm tm {};
    ::localtime_r(&seconds, &tm);
    char when[32];
    std::strftime(when, sizeof when, "%b %d %H:%M:%S", &tm);
    std::string ident = field(j, "SYSLOG_IDENTIFIER");
    if (ident.empty()) ident = field(j, "_COMM");
    std::string pid = field(j, "SYSLOG_PID");
    if (pid.empty()) pid = field(j, "_PID");
    // What a unit's processes log is theirs to choose: escaped before it reaches a screen.
    std::string message = Text::escape_control(field(j, "MESSAGE"));
    return fmt::format("{} {} {}{}: {}", when, field(j, "_HOSTNAME"), ident, pid.empty() ? "" : "[" + pid + "]", message);
}
}  // namespace

void settle() {
    // journald reads a unit's output from its stream in its own time, after systemd's
    // lines about the unit's end have come in by another way: without this, a daemon
    // that died a moment ago can have its last words missing. journalctl --sync answers
    // once what was written before it is stored.
    const auto journalctl = Binaries::path("journalctl");
    if (!journalctl) return;
    try {
        SafeRun::Options o;
        o.program = *journalctl;
        o.args = {"--sync"};
        o.timeout = 2;
        SafeRun::Object run(std::move(o));
    } catch (const std::exception&) {
        // Without the sync the lines are read as they are.
    }
}

std::optional<std::string> unit_lines(const std::string& unit, size_t max_lines, const std::string& invocation_id) {
    sd_journal* j = nullptr;
    if (sd_journal_open(&j, SD_JOURNAL_LOCAL_ONLY | SD_JOURNAL_SYSTEM) < 0) return std::nullopt;
    struct Closer {
        sd_journal* j;
        ~Closer() { sd_journal_close(j); }
    } closer{j};
    // What the unit's processes logged, or what systemd itself said about the unit.
    const std::string own = "_SYSTEMD_UNIT=" + unit, about = "UNIT=" + unit;
    const std::string own_run = "_SYSTEMD_INVOCATION_ID=" + invocation_id, about_run = "INVOCATION_ID=" + invocation_id;
    auto match = [&](const std::string& m) { return sd_journal_add_match(j, m.data(), m.size()) >= 0; };
    const bool matched =
        invocation_id.empty()
            ? match(own) && sd_journal_add_disjunction(j) >= 0 && match(about) && match("_PID=1")
            : match(own) && match(own_run) && sd_journal_add_disjunction(j) >= 0 && match(about) && match(about_run) &&
                  match("_PID=1");
    if (!matched) return std::nullopt;
    sd_id128_t boot{};
    const bool know_boot = sd_id128_get_boot(&boot) >= 0;
    std::vector<std::string> lines;
    if (sd_journal_seek_tail(j) < 0) return std::nullopt;
    while (lines.size() < max_lines && sd_journal_previous(j) > 0) {
        if (know_boot) {
            sd_id128_t entry_boot{};
            uint64_t ignored = 0;
            if (sd_journal_get_monotonic_usec(j, &ignored, &entry_boot) >= 0 && !sd_id128_equal(entry_boot, boot)) break;
        }
        lines.push_back(line_of(j));
    }
    std::string text;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) text += *it + "\n";
    return text;
}

}  // namespace Vexlan::Services::Log::Journal
