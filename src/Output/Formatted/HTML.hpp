#pragma once
#include "Output/Formatted.hpp"

namespace Vexlan {

// The same calls as the terminal class, rendered as HTML with the text escaped.
class Output::Formatted::HTML : public Output::Formatted {
public:
    using Formatted::Formatted;
    static std::string escape(const std::string& text);

protected:
    std::string indent() const override { return std::string(indent_level_ * 4, ' '); }
    std::string format_text(const std::string& colour, const std::string& text) override;
    std::string new_line() const override { return "<br />\n"; }
};

}  // namespace Vexlan
