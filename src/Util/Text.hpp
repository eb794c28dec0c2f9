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

}  // namespace Vexlan::Text
