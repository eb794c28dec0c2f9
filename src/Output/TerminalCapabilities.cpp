#include "Output/TerminalCapabilities.hpp"

#include <unistd.h>
#include <climits>

#include <cstdlib>
#include <map>

#include "SafeRun/Object.hpp"
#include "Util/Number.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::Terminal {

namespace {
std::optional<bool> g_safe;
std::map<std::string, std::optional<int>>& color_cache() {
    static std::map<std::string, std::optional<int>> m;
    return m;
}
}  // namespace

bool it_is_safe_to_colorize() {
    // Colour codes in a redirected file or a pipe garble what the reader sees, so both
    // ends must be terminals, and NO_COLOR is honoured.
    if (!g_safe) {
        const char* no_color = std::getenv("NO_COLOR");
        g_safe = ::isatty(0) && ::isatty(1) && !(no_color && *no_color);
    }
    return *g_safe;
}

std::optional<int> get_max_colors_for_terminal(const std::string& term) {
    if (term.empty()) return std::nullopt;
    auto& cache = color_cache();
    if (auto it = cache.find(term); it != cache.end()) return it->second;
    std::optional<int> colors;
    try {
        SafeRun::Options o;
        o.program = "infocmp";
        o.args = {"-L", term};  // long capability names: "max_colors#256"
        o.keep_env = true;
        o.timeout = 10;
        SafeRun::Object run(std::move(o));
        if (run.stdout_captured() && run.CHILD_ERROR().value_or(1) == 0) {
            // ncurses 6 prints counts of 256 and more in hexadecimal ("max_colors#0x100").
            static const Regex kMax(R"(max_colors\#(0x[0-9a-fA-F]+|\d+))");
            if (auto m = kMax.captures(run.stdout_text())) {
                const std::string& n = (*m)[1];
                colors = n.starts_with("0x")
                             ? Number::parse<int>(std::string_view(n).substr(2), 0, INT_MAX, 16)
                             : Number::parse<int>(n, 0);
            }
        }
    } catch (...) {
        // No usable infocmp: fall back to the terminal's name.
    }
    if (!colors) {
        static const Regex kName(R"(([0-9]+)color)");
        if (auto m = kName.captures(term)) colors = Number::parse<int>((*m)[1], 0);
    }
    cache[term] = colors;
    return colors;
}

void clear_caches() {
    g_safe.reset();
    color_cache().clear();
}

}  // namespace Vexlan::Terminal
