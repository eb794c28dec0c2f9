#include "Config/LoadVxConf.hpp"

#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"

namespace Vexlan::Config::LoadVxConf {

namespace {
ConfigMap g_shared;

ConfigMap read_guarded() {
    try {
        VxConfGuard::Options o;
        o.loadvxconf = true;
        VxConfGuard guard(o);
        return guard.config_copy();
    } catch (const Exception::Base& e) {
        Debug::log_warn("The main configuration cannot be read; the defaults apply: " + e.to_string_no_id());
        return {};
    }
}
}  // namespace

ConfigMap loadvxconf() { return read_guarded(); }

const ConfigMap& loadvxconf_not_copy() {
    auto [cached, valid] = VxConfGuard::get_cache();
    g_shared = valid && cached ? std::move(*cached) : read_guarded();
    return g_shared;
}

std::optional<std::string> value(const std::string& key) {
    const auto& map = loadvxconf_not_copy();
    auto it = map.find(key);
    if (it == map.end()) return std::nullopt;
    return it->second;
}

}  // namespace Vexlan::Config::LoadVxConf
