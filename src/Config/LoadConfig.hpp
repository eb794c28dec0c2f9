#pragma once
// Reads the panel's main configuration file: "name=value" lines (blank lines and lines
// starting with "#" ignored), a flat map of setting names to text values.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Util/UniqueFd.hpp"

namespace Vexlan::Config::LoadConfig {

using Map = std::map<std::string, std::string>;

struct Result {
    std::optional<Map> map;  // nothing when the file could not be read
    UniqueFd fh;             // the open file, kept when it was opened for update
    bool locked = false;     // the open file carries an flock lock
    std::string error;       // what went wrong, when something did
    int error_number = 0;
};

// Locks the file (shared, or exclusive when opened for update) when asked; with `rw` the
// file stays open (and locked) in the result. A symlink or anything but a regular file is
// refused.
Result loadConfig(const std::string& path, bool lock, bool rw);
// A line that is not valid UTF-8 is left out (its number goes to `skipped`, counted from
// 1): every consumer of the map (the JSON cache, the terminal) needs text, and one bad
// byte must cost that setting, never the whole file.
Map parse(std::string_view text, std::vector<size_t>* skipped = nullptr);
// The JSON cache of the map: a flat object of texts, numbers and booleans. Anything else
// (not JSON, not an object, a nested value) is not a cache of ours: nothing.
std::optional<Map> parse_cache(std::string_view text);
std::string serialize(const Map& map);

}  // namespace Vexlan::Config::LoadConfig
