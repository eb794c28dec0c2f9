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
    UniqueFd lock;           // the lock file's descriptor, which carries the lock
    bool locked = false;     // the configuration's lock is held
    std::string error;       // what went wrong, when something did
    int error_number = 0;
};

// Locks the configuration (shared, or exclusive when opened for update) when asked; with
// `rw` the file stays open (and locked) in the result. A symlink or anything but a regular
// file is refused. The lock is taken on LOCK_SUFFIX beside the file, a root-only file: the
// configuration itself is readable by everyone, and anyone who can open a file can hold
// its lock for ever. The wait for it is bounded (LOCK_WAIT_SECONDS); a lock not had by then
// is an error.
Result loadConfig(const std::string& path, bool lock, bool rw);
inline constexpr const char* LOCK_SUFFIX = ".lock";
inline constexpr double LOCK_WAIT_SECONDS = 10;
// Test hook: the bounded wait, in seconds (0 restores it).
void set_lock_wait_for_testing(double seconds);
// A line that is not valid UTF-8 is left out (its number goes to `skipped`, counted from
// 1): every consumer of the map (the JSON cache, the terminal) needs text, and one bad
// byte must cost that setting, never the whole file.
Map parse(std::string_view text, std::vector<size_t>* skipped = nullptr);
// The JSON cache of the map: a flat object of texts, numbers and booleans. Anything else
// (not JSON, not an object, a nested value) is not a cache of ours: nothing.
std::optional<Map> parse_cache(std::string_view text);
std::string serialize(const Map& map);

}  // namespace Vexlan::Config::LoadConfig
