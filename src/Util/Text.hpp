#pragma once
// Small text helpers the whole program shares.
#include <string>
#include <string_view>
#include <vector>

namespace Vexlan::Text {

// ASCII lower and upper case.
std::string lower(std::string_view text);
std::string upper(std::string_view text);
// The text without leading and trailing blanks (spaces, tabs, CR, LF).
std::string_view trim(std::string_view text);
// Lines split at "\n"; a final line end yields no empty last line.
std::vector<std::string> lines(std::string_view text);
// Split at one separator character (empty fields kept).
std::vector<std::string> split(std::string_view text, char separator);
// True when the text is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF): what a JSON writer accepts.
bool is_utf8(std::string_view text);
// Control characters (and the backslash) written as escapes ("\n", "\t", "\x1b", "\\"),
// C1 controls as "\u009b", bytes that are not UTF-8 as "\x9b": text from others on one
// line, never steering a terminal or forging a log line.
// With Backslashes::Keep a backslash stays as it is: names in systemd's own escapes
// ("tpl@a\x2db") are shown as the names they are.
enum class Backslashes { Escape, Keep };
std::string escape_control(std::string_view text, Backslashes backslashes = Backslashes::Escape);
// The same, but line ends stay: a command's output shown as the lines it wrote.
std::string escape_control_keep_lines(std::string_view text, Backslashes backslashes = Backslashes::Escape);

}  // namespace Vexlan::Text
