#pragma once
// The one checked reader of numbers in outside text (pidfiles, options, /proc, terminal
// capabilities, signal names, command output): whole-text digits only, range-checked, no
// exceptions and no silent wrap-around.
#include <sys/types.h>

#include <charconv>
#include <concepts>
#include <limits>
#include <optional>
#include <string_view>

namespace Vexlan::Number {

// The whole text as a number in [min, max]: an optional "-" for signed types, then digits
// in `base` and nothing else. Anything else, or a value out of range, is nullopt.
template <std::integral T>
std::optional<T> parse(std::string_view text, T min = std::numeric_limits<T>::min(),
                       T max = std::numeric_limits<T>::max(), int base = 10) {
    if (text.empty() || text.front() == '+') return std::nullopt;
    if (text.front() == '-' && (std::is_unsigned_v<T> || text.size() == 1)) return std::nullopt;
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < min || value > max) return std::nullopt;
    return value;
}

// The same after removing surrounding blanks (spaces, tabs, CR, LF).
template <std::integral T>
std::optional<T> parse_trimmed(std::string_view text, T min = std::numeric_limits<T>::min(),
                               T max = std::numeric_limits<T>::max(), int base = 10) {
    constexpr std::string_view blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
    return parse<T>(text, min, max, base);
}

// The kernel's largest pid (/proc/sys/kernel/pid_max; 4194304 when unreadable).
pid_t pid_max();

// A pid of a real process other than init: digits only, in 2..pid_max.
std::optional<pid_t> parse_pid(std::string_view text);
// The pid a pidfile names: its first line, blanks around it ignored, under the same rule.
std::optional<pid_t> pid_from_pidfile_text(std::string_view content);

}  // namespace Vexlan::Number
