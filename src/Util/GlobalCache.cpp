#include "Util/GlobalCache.hpp"

#include "Util/File.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::GlobalCache {

std::optional<nlohmann::json> data(const std::string& key) {
    auto text = FileUtils::read_regular_file(Paths::get(Paths::Key::GlobalCache), 1 << 20);
    if (!text) return std::nullopt;
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains(key)) return std::nullopt;
    const auto& v = json[key];
    const bool truth = v.is_boolean() ? v.get<bool>()
                       : v.is_number() ? v.get<double>() != 0
                       : v.is_string() ? !v.get<std::string>().empty() && v.get<std::string>() != "0"
                                       : !v.is_null();
    if (!truth) return std::nullopt;
    return v;
}

}  // namespace Vexlan::GlobalCache
