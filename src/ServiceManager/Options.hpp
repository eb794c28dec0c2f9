#pragma once
#include <nlohmann/json.hpp>

namespace Vexlan {

// Constructor options of service objects: a name-to-value bag, so the factory can pass
// on options it does not know.
using Options = nlohmann::json;

}  // namespace Vexlan
