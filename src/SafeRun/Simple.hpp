#pragma once
// One-call runs that return a command's output. The child's wait status is left in the
// last child status (-1 when the command could not be run).
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vexlan::SafeRun::Simple {

enum Mode { KEEP_STDERR = 0, MERGE_STDERR = 1, NULL_STDERR = 2, NULL_STDOUT = 3 };

using Command = std::vector<std::string>;

std::optional<std::string> saferun(const Command& command);
std::optional<std::string> saferunallerrors(const Command& command);
std::optional<std::string> saferunnoerror(const Command& command);
std::optional<std::string> saferunonlyerrors(const Command& command);
// The same as saferun; the output is returned by reference-counted handle.
std::shared_ptr<std::string> saferun_r(const Command& command);

std::optional<std::string> run_mode(const Command& command, Mode mode);

}  // namespace Vexlan::SafeRun::Simple

namespace Vexlan::SafeRun::Errors {

using Command = Simple::Command;

std::optional<std::string> saferunallerrors(const Command& command);
std::optional<std::string> saferunnoerror(const Command& command);
std::optional<std::string> saferunonlyerrors(const Command& command);
// List forms: the output split at newlines, trailing empty lines dropped.
std::vector<std::string> saferunallerrors_lines(const Command& command);
std::vector<std::string> saferunnoerror_lines(const Command& command);
std::vector<std::string> saferunonlyerrors_lines(const Command& command);

std::vector<std::string> split_lines(const std::string& text);

}  // namespace Vexlan::SafeRun::Errors
