#include "Output/Formatted/HTML.hpp"

namespace Vexlan {

std::string Output::Formatted::HTML::escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Output::Formatted::HTML::format_text(const std::string& colour, const std::string& text) {
    if (colour.empty()) return escape(text);
    std::string cls;
    for (char c : colour) cls += c == ' ' ? '-' : c;
    return "<span class=\"vx-" + cls + "\">" + escape(text) + "</span>";
}

}  // namespace Vexlan
