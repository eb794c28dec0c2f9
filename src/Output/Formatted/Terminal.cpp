#include "Output/Formatted/Terminal.hpp"

#include <optional>

#include "Output/Solarize.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"

namespace Vexlan {

namespace {
std::optional<bool> g_color_disabled;

bool color_disabled() {
    if (!g_color_disabled) {
        try {
            g_color_disabled = FileUtils::exists(Paths::get(Paths::Key::ColorDisableMarker)) ||
                               FileUtils::exists(Paths::get(Paths::Key::ColorDisableMarker2));
        } catch (...) {
            g_color_disabled = false;
        }
    }
    return *g_color_disabled;
}
}  // namespace

void Output::Formatted::Terminal::_clear_cache() { g_color_disabled.reset(); }

std::string Output::Formatted::Terminal::format_text(const std::string& colour, const std::string& text) {
    if (colour.empty() || color_disabled()) return Plain::format_text(colour, text);
    return Term::ANSIColor::Solarize::colored(std::vector<std::string>{colour}, std::vector<std::string>{text});
}

}  // namespace Vexlan
