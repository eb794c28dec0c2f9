#pragma once
// Reading the two texts the program is handed by whoever started it: the name it was
// invoked under, and its parent's command line for the audit record.
#include <optional>
#include <string>

namespace scripts::restartsrv_base {

// What an invocation path names: the action word ("start", "stop" or "restartsrv_") and
// the service; nothing when the name is none of the program's forms.
struct Invocation {
    std::string action;
    std::string service;
};
std::optional<Invocation> service_from_invocation(const std::string& path);

// A command line as one printable line: its first line only, runs of blanks, NULs and
// control characters as one space, double quotes as single ones.
std::string normalize_command_line(const std::string& raw);

}  // namespace scripts::restartsrv_base
