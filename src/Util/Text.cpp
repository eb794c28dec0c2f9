#include "Util/Text.hpp"

#include <algorithm>

#include <fmt/format.h>

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

bool is_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra;
        unsigned min_second = 0x80, max_second = 0xBF;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) min_second = 0xA0;  // overlong
            if (c == 0xED) max_second = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) min_second = 0x90;  // overlong
            if (c == 0xF4) max_second = 0x8F;  // past U+10FFFF
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            const unsigned lo = k == 1 ? min_second : 0x80, hi = k == 1 ? max_second : 0xBF;
            if (b < lo || b > hi) return false;
        }
        i += extra + 1;
    }
    return true;
}

namespace {
void append_hex_byte(std::string& out, unsigned char c) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

// The length of the well-formed UTF-8 sequence at the start of `text` (no overlong forms,
// no surrogates, nothing past U+10FFFF), or 0.
size_t utf8_sequence_length(std::string_view text) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = b(0);
    size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (n == 0 || text.size() < n) return 0;
    for (size_t i = 1; i < n; ++i)
        if ((b(i) & 0xc0) != 0x80) return 0;
    if (c == 0xe0 && b(1) < 0xa0) return 0;   // overlong
    if (c == 0xed && b(1) > 0x9f) return 0;   // a surrogate
    if (c == 0xf0 && b(1) < 0x90) return 0;   // overlong
    if (c == 0xf4 && b(1) > 0x8f) return 0;   // past U+10FFFF
    return n;
}
}  // namespace

std::string escape_control(std::string_view text, Backslashes backslashes) {
    // What a terminal acts on never passes raw: C0 controls and DEL, the C1 controls
    // (U+0080-U+009F, which terminals take as CSI, OSC and the like, and which JSON leaves
    // as they are), and bytes that are not UTF-8 (a lone 0x9b is a CSI to some terminals).
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '\\')
                out += backslashes == Backslashes::Escape ? "\\\\" : "\\";
            else if (c == '\n')
                out += "\\n";
            else if (c == '\t')
                out += "\\t";
            else if (c < 0x20 || c == 0x7f)
                append_hex_byte(out, c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t n = utf8_sequence_length(text.substr(i));
        if (n == 0) {
            append_hex_byte(out, c);
            ++i;
        } else if (n == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
            out += fmt::format("\\u{:04x}", static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string escape_control_keep_lines(std::string_view text, Backslashes backslashes) {
    std::string out;
    for (const auto& line : split(text, '\n')) {
        if (!out.empty()) out += '\n';
        out += escape_control(line, backslashes);
    }
    return out;
}

}  // namespace Vexlan::Text
