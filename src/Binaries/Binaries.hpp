#pragma once
// Where a named program lives: the panel's own program tree first, then the operating
// system's programs, then the distribution's own table.
#include <map>
#include <optional>
#include <string>

namespace Vexlan::Binaries {

// Program name -> directory, in the order they are consulted.
const std::map<std::string, std::string>& thirdparty_binary_locations();
const std::map<std::string, std::string>& system_bin_locations();

// The absolute path of the program; nothing for an empty name. Throws (Generic, naming the
// program) when no table knows it.
std::optional<std::string> path(const std::string& name);
// The same look-up for a caller to whom an unknown program is an ordinary answer: nothing,
// and no error built for nobody to read.
std::optional<std::string> find(const std::string& name);

// The panel's own PHP build, whose programs the dynamic part of the panel's table points at.
inline constexpr const char* PANEL_PHP_DIR = "/usr/local/vexlan/3rdparty/php/bin";
inline constexpr const char* PANEL_BIN_DIR = "/usr/local/vexlan/3rdparty/bin";

}  // namespace Vexlan::Binaries
