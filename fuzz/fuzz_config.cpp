// The panel's main configuration and its JSON cache, both files anyone with root's editor
// (or a broken disk) may have left in any state.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "Config/LoadConfig.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)Vexlan::Config::LoadConfig::parse(text);
    (void)Vexlan::Config::LoadConfig::parse_cache(text);
    return 0;
}
