#pragma once
// ANSI colouring with palettes that map standard colour names to softer shades for
// 256-, 16- and 8-colour terminals.
#include <map>
#include <string>
#include <vector>

namespace Vexlan::Term::ANSIColor::Solarize {

// colored([attributes], text...): attributes are words such as "bold red".
std::string colored(const std::vector<std::string>& attributes, const std::vector<std::string>& texts);
// colored(text, attributes...).
std::string colored(const std::string& text, const std::vector<std::string>& attributes);

// The palette in use: 256, 16, 8 or 0 (no colour).
int palette_size();
const std::map<std::string, std::string>& palette(int size);
// SGR sequence for an attribute string after palette mapping, e.g. "\e[1;38;5;160m".
std::string escape_for(const std::string& attributes);

void clear_caches();

}  // namespace Vexlan::Term::ANSIColor::Solarize
