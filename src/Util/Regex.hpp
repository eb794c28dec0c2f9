#pragma once
// Perl-compatible patterns (look-behind, \b, \A, \z) through PCRE2.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vexlan {

class Regex {
public:
    enum Flags : unsigned { NONE = 0, CASELESS = 1, MULTILINE = 2, EXTENDED = 4, DOTALL = 8 };

    // Throws InvalidParameter when the pattern does not compile.
    explicit Regex(std::string_view pattern, unsigned flags = NONE);

    bool match(std::string_view subject) const;
    // Whole match and groups (unset groups are empty); nullopt when it does not match.
    std::optional<std::vector<std::string>> captures(std::string_view subject) const;
    // Every non-overlapping match's first group (or whole match without groups).
    std::vector<std::string> all(std::string_view subject) const;
    // Every match replaced by `replacement` (taken literally).
    std::string replace_all(std::string_view subject, std::string_view replacement) const;
    // The pieces between matches.
    std::vector<std::string> split(std::string_view subject) const;
    const std::string& pattern() const { return pattern_; }

    // The text with every pattern metacharacter escaped.
    static std::string quote(std::string_view text);

private:
    std::vector<std::pair<size_t, size_t>> spans(std::string_view subject) const;
    struct Code;
    std::string pattern_;
    std::shared_ptr<Code> code_;
};

}  // namespace Vexlan
