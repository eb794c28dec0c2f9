#include "Util/Text.hpp"

#include <algorithm>

namespace Vexlan::Text {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return out;
}

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    return out;
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out = split(text, '\n');
    if (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        out.emplace_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return out;
}

}  // namespace Vexlan::Text
