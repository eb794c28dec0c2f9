#pragma once
// The product's global cache: JSON flags that other tools keep about the server.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace Vexlan::GlobalCache {

// The key's value when it is true; nothing when it is false, absent or unreadable.
std::optional<nlohmann::json> data(const std::string& key);

}  // namespace Vexlan::GlobalCache
