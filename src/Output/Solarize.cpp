#include "Output/Solarize.hpp"

#include <fmt/ranges.h>

#include <cstdlib>
#include <optional>
#include <sstream>

#include "Output/TerminalCapabilities.hpp"

namespace Vexlan::Term::ANSIColor::Solarize {

namespace {
std::optional<int> g_colors;
std::map<std::string, std::string>& escape_cache() {
    static std::map<std::string, std::string> m;
    return m;
}

const std::map<std::string, std::string> kPalette256 = {
    {"black", "ansi235"},
    {"red", "ansi160"},
    {"green", "ansi64"},
    {"yellow", "ansi136"},
    {"blue", "ansi33"},
    {"magenta", "ansi125"},
    {"cyan", "ansi37"},
    {"white", "ansi254"},
    {"bright_black", "ansi234"},
    {"bright_red", "ansi166"},
    {"bright_green", "ansi240"},
    {"bright_yellow", "ansi241"},
    {"bright_blue", "ansi244"},
    {"bright_magenta", "ansi61"},
    {"bright_cyan", "ansi245"},
    {"bright_white", "ansi230"},
    {"on_black", "on_ansi235"},
    {"on_red", "on_ansi160"},
    {"on_green", "on_ansi64"},
    {"on_yellow", "on_ansi136"},
    {"on_blue", "on_ansi33"},
    {"on_magenta", "on_ansi125"},
    {"on_cyan", "on_ansi37"},
    {"on_white", "on_ansi254"},
    {"on_bright_black", "on_ansi234"},
    {"on_bright_red", "on_ansi166"},
    {"on_bright_green", "on_ansi240"},
    {"on_bright_yellow", "on_ansi241"},
    {"on_bright_blue", "on_ansi244"},
    {"on_bright_magenta", "on_ansi61"},
    {"on_bright_cyan", "on_ansi245"},
    {"on_bright_white", "on_ansi230"},
};
const std::map<std::string, std::string> kPalette16 = {
    {"black", "bright_black"},
    {"red", "red"},
    {"green", "green"},
    {"yellow", "yellow"},
    {"blue", "blue"},
    {"magenta", "magenta"},
    {"cyan", "cyan"},
    {"white", "white"},
    {"bright_black", "black"},
    {"bright_red", "bright_red"},
    {"bright_green", "bright_green"},
    {"bright_yellow", "bright_yellow"},
    {"bright_blue", "bright_blue"},
    {"bright_magenta", "bright_magenta"},
    {"bright_cyan", "bright_cyan"},
    {"bright_white", "bright_white"},
    {"on_black", "on_bright_black"},
    {"on_white", "on_white"},
};
const std::map<std::string, std::string> kPalette8 = {
    {"black", "black"},        {"red", "red"},
    {"green", "green"},        {"yellow", "yellow"},
    {"blue", "blue"},          {"magenta", "magenta"},
    {"cyan", "cyan"},          {"white", "white"},
    {"bright_black", "black"}, {"bright_red", "red"},
    {"bright_green", "green"}, {"bright_yellow", "yellow"},
    {"bright_blue", "blue"},   {"bright_magenta", "magenta"},
    {"bright_cyan", "cyan"},   {"bright_white", "white"},
    {"on_black", "on_black"},  {"on_white", "on_white"},
};

const std::map<std::string, int> kBase = {{"black", 0}, {"red", 1},     {"green", 2}, {"yellow", 3},
                                          {"blue", 4},  {"magenta", 5}, {"cyan", 6},  {"white", 7}};

std::string sgr_code(const std::string& word) {
    if (word == "bold") return "1";
    if (word == "dark" || word == "faint") return "2";
    if (word == "italic") return "3";
    if (word == "underline") return "4";
    if (word == "reverse") return "7";
    if (word == "reset" || word == "clear") return "0";
    bool on = word.starts_with("on_");
    std::string w = on ? word.substr(3) : word;
    if (w.starts_with("ansi")) return (on ? "48;5;" : "38;5;") + w.substr(4);
    bool bright = w.starts_with("bright_");
    if (bright) w = w.substr(7);
    auto it = kBase.find(w);
    if (it == kBase.end()) return "";
    int base = on ? (bright ? 100 : 40) : (bright ? 90 : 30);
    return std::to_string(base + it->second);
}
}  // namespace

int palette_size() {
    if (!g_colors) {
        const char* term = std::getenv("TERM");
        int n = Terminal::get_max_colors_for_terminal(term ? term : "").value_or(0);
        g_colors = n >= 256 ? 256 : n >= 16 ? 16 : n > 0 ? 8 : 0;
    }
    return *g_colors;
}

const std::map<std::string, std::string>& palette(int size) {
    return size >= 256 ? kPalette256 : size >= 16 ? kPalette16 : kPalette8;
}

std::string escape_for(const std::string& attributes) {
    auto& cache = escape_cache();
    if (auto it = cache.find(attributes); it != cache.end()) return it->second;
    const auto& pal = palette(palette_size());
    std::istringstream words(attributes);
    std::string word, codes;
    while (words >> word) {
        auto it = pal.find(word);
        std::string code = sgr_code(it == pal.end() ? word : it->second);
        if (code.empty()) continue;
        if (!codes.empty()) codes += ';';
        codes += code;
    }
    return cache[attributes] = codes.empty() ? "" : "\x1b[" + codes + "m";
}

std::string colored(const std::vector<std::string>& attributes, const std::vector<std::string>& texts) {
    std::string joined;
    for (const auto& t : texts) joined += t;
    // Whether colour may be used at all is cheap to learn; the palette costs a child process.
    if (!Terminal::it_is_safe_to_colorize() || palette_size() == 0) return joined;
    std::string esc = escape_for(fmt::format("{}", fmt::join(attributes, " ")));
    return esc.empty() ? joined : esc + joined + "\x1b[0m";
}

std::string colored(const std::string& text, const std::vector<std::string>& attributes) {
    return colored(attributes, std::vector<std::string>{text});
}

void clear_caches() {
    g_colors.reset();
    escape_cache().clear();
}

}  // namespace Vexlan::Term::ANSIColor::Solarize
