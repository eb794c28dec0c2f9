#define PCRE2_CODE_UNIT_WIDTH 8
#include "Util/Regex.hpp"

#include <pcre2.h>

#include "Exception/Exception.hpp"

namespace Vexlan {

struct Regex::Code {
    pcre2_code* code = nullptr;
    ~Code() { pcre2_code_free(code); }
};

namespace {
struct MatchData {
    explicit MatchData(pcre2_code* code) : data(pcre2_match_data_create_from_pattern(code, nullptr)) {}
    ~MatchData() { pcre2_match_data_free(data); }
    pcre2_match_data* data;
};
}  // namespace

Regex::Regex(std::string_view pattern, unsigned flags) : pattern_(pattern), code_(std::make_shared<Code>()) {
    uint32_t options = 0;
    if (flags & CASELESS) options |= PCRE2_CASELESS;
    if (flags & MULTILINE) options |= PCRE2_MULTILINE;
    if (flags & EXTENDED) options |= PCRE2_EXTENDED;
    if (flags & DOTALL) options |= PCRE2_DOTALL;
    int err = 0;
    PCRE2_SIZE offset = 0;
    code_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &err, &offset, nullptr);
    if (!code_->code) {
        PCRE2_UCHAR buf[256];
        pcre2_get_error_message(err, buf, sizeof buf);
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "The pattern “" + std::string(pattern) + "” does not compile: " +
                                                                     reinterpret_cast<char*>(buf)}});
    }
    // No JIT: the program matches a few short texts per pattern, and compiling machine code
    // for each pattern costs more processor time than it saves.
}

bool Regex::match(std::string_view subject) const {
    MatchData md(code_->code);
    return pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0, md.data, nullptr) >= 0;
}

std::optional<std::vector<std::string>> Regex::captures(std::string_view subject) const {
    MatchData md(code_->code);
    int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0, md.data, nullptr);
    if (rc < 0) return std::nullopt;
    uint32_t groups = 0;
    pcre2_pattern_info(code_->code, PCRE2_INFO_CAPTURECOUNT, &groups);
    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.data);
    std::vector<std::string> out;
    for (uint32_t i = 0; i <= groups; ++i) {
        if (static_cast<int>(i) < rc && ov[2 * i] != PCRE2_UNSET)
            out.emplace_back(subject.substr(ov[2 * i], ov[2 * i + 1] - ov[2 * i]));
        else
            out.emplace_back();
    }
    return out;
}

std::vector<std::string> Regex::all(std::string_view subject) const {
    std::vector<std::string> out;
    MatchData md(code_->code);
    uint32_t groups = 0;
    pcre2_pattern_info(code_->code, PCRE2_INFO_CAPTURECOUNT, &groups);
    size_t start = 0;
    while (start <= subject.size()) {
        int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, 0, md.data, nullptr);
        if (rc < 0) break;
        PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.data);
        int g = groups > 0 ? 1 : 0;
        out.emplace_back(subject.substr(ov[2 * g], ov[2 * g + 1] - ov[2 * g]));
        start = ov[1] > ov[0] ? ov[1] : ov[1] + 1;
    }
    return out;
}

// (start, end) of every non-overlapping match.
std::vector<std::pair<size_t, size_t>> Regex::spans(std::string_view subject) const {
    std::vector<std::pair<size_t, size_t>> out;
    MatchData md(code_->code);
    size_t start = 0;
    while (start <= subject.size()) {
        int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, 0, md.data, nullptr);
        if (rc < 0) break;
        PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.data);
        out.emplace_back(ov[0], ov[1]);
        start = ov[1] > ov[0] ? ov[1] : ov[1] + 1;
    }
    return out;
}

std::string Regex::replace_all(std::string_view subject, std::string_view replacement) const {
    std::string out;
    size_t at = 0;
    for (auto [begin, end] : spans(subject)) {
        out.append(subject.substr(at, begin - at));
        out.append(replacement);
        at = end;
    }
    out.append(subject.substr(std::min(at, subject.size())));
    return out;
}

std::vector<std::string> Regex::split(std::string_view subject) const {
    std::vector<std::string> out;
    size_t at = 0;
    for (auto [begin, end] : spans(subject)) {
        if (end == begin) continue;  // an empty match splits nothing
        out.emplace_back(subject.substr(at, begin - at));
        at = end;
    }
    out.emplace_back(subject.substr(std::min(at, subject.size())));
    return out;
}

std::string Regex::quote(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 128)) out += '\\';
        out += c;
    }
    return out;
}

}  // namespace Vexlan
