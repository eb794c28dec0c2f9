#pragma once
// What the terminal can do: whether colour is safe and how many colours it has.
#include <optional>
#include <string>

namespace Vexlan::Terminal {

// True when standard input and standard output are terminals and NO_COLOR is unset.
// Tested once per process.
bool it_is_safe_to_colorize();
// The terminal's colour count from infocmp, else from a "<n>color" name; cached per name.
std::optional<int> get_max_colors_for_terminal(const std::string& term);

// Test hook: forget the cached answers.
void clear_caches();

}  // namespace Vexlan::Terminal
