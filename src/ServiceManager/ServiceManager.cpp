#include "ServiceManager/ServiceManager.hpp"

#include <cstdio>
#include <set>

#include "Exception/Exception.hpp"
#include "Output/ErrorLog.hpp"
#include "Output/Logger.hpp"
#include "RestartSrv/Initd.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "Services/Enabled.hpp"
#include "Util/Text.hpp"
#include "Util/Validate.hpp"

namespace Vexlan::ServiceManager {

std::string module_name_for(const std::string& service) {
    std::string name = Text::lower(service);
    if (!name.empty()) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    for (auto& c : name)
        if (c == '-') c = '_';
    return name;
}

std::unique_ptr<Base> new_service(const Options& options) {
    const std::string service =
        options.is_object() && options.contains("service") && options["service"].is_string()
            ? options["service"].get<std::string>()
            : "";
    if (service.empty())
        throw Exception::create(Exception::Kinds::Generic,
                                {{"message", "A service name is required to build a service object."}});

    const std::string class_name = "Vexlan::ServiceManager::Services::" + module_name_for(service);
    std::optional<Exception::Base> load_error;
    if (Validate::is_valid_module_name(class_name)) {
        try {
            if (auto factory = LoadModule::Custom::find(class_name)) {
                auto obj = (*factory)(options);
                obj->BUILD();
                return obj;
            }
        } catch (const Exception::Base& e) {
            if (!e.isa(Exception::Kinds::ModuleLoadError)) throw;
            load_error = e;
            if (!e.get("not_located").is_boolean() || !e.get("not_located").get<bool>()) {
                static std::set<std::string> warned;
                if (warned.insert(class_name).second) {
                    ErrorLog::record(e);
                    std::fprintf(stderr, "warn: %s\n", e.to_string().c_str());
                }
            }
        }
    }

    Validate::filesystem_node_name_or_die(service);
    if (RestartSrv::Initd::has_service_via_initd(service) ||
        RestartSrv::Systemd::has_service_via_systemd(service)) {
        Options generic = options;
        // No class knows its configuration keys, but the panel's disable file speaks for
        // every service alike.
        generic["is_enabled"] = Services::Enabled::has_default_disable_file(service) ? 0 : 1;
        return make_service<Base>(generic);
    }
    if (load_error && Logger::is_sandbox()) throw *load_error;
    // A developer's sandbox names the module that was looked for.
    if (Logger::is_sandbox() && Validate::is_valid_module_name(class_name))
        LoadModule::Custom::load(class_name);
    // Unknown is a verdict; without systemd's answer it would be a guess.
    if (auto why = RestartSrv::Systemd::systemd_cannot_be_asked())
        throw Exception::create(Exception::Kinds::Services::Undetermined,
                                {{"service", service}, {"reason", *why}});
    throw Exception::create(Exception::Kinds::Services::Unknown,
                            {{"service", service}, {"longmess", options.value("longmess", "")}});
}

}  // namespace Vexlan::ServiceManager
