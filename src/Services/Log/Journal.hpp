#pragma once
// A unit's recent lines from systemd's journal, read with sd-journal, formatted as
// `systemctl status` shows them: "Dec 08 10:00:00 host ident[pid]: message".
#include <optional>
#include <string>

namespace Vexlan::Services::Log::Journal {

// Waits (at most two seconds) until journald has stored what was logged before the call.
void settle();

// The last `max_lines` lines of the current boot that the unit's processes logged, or
// systemd logged about the unit; nullopt when the journal cannot be opened.
// With an invocation id (systemd's InvocationID of the unit, 32 hex digits), only that run's
// lines: what an earlier run said is not this start's log.
std::optional<std::string> unit_lines(const std::string& unit, size_t max_lines = 10,
                                      const std::string& invocation_id = "");

}  // namespace Vexlan::Services::Log::Journal
