#pragma once
// Loads per-service classes by name: a shared object in the custom module directory
// first, then the classes linked into the program, then the built-in module directory.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ServiceManager/Options.hpp"

namespace Vexlan::ServiceManager {
class Base;
}

namespace Vexlan::LoadModule {

using Factory = std::function<std::unique_ptr<ServiceManager::Base>(const Options&)>;

// The symbol every module exports: builds an object of its class (BUILD not yet run).
inline constexpr const char* FACTORY_SYMBOL = "vexlan_service_factory";
using FactoryFunction = ServiceManager::Base* (*)(const Options*);

// Registers a class linked into the program.
void register_class(const std::string& class_name, Factory factory);

class Custom {
public:
    // The factory for `class_name` ("Vexlan::ServiceManager::Services::Exim"). Throws a
    // ModuleLoadError; its field "not_located" is true when no file holds the class.
    static Factory load(const std::string& class_name);
    // As load, but a class that no file holds is no factory rather than an error: most
    // services have no class of their own, and the plain case should cost no exception.
    static std::optional<Factory> find(const std::string& class_name);
    // Test-only: module directories (empty restores the production ones).
    static void set_dirs_for_testing(const std::string& custom_dir, const std::string& builtin_dir);
    // Test-only: the directory the trust walk starts from instead of "/" (empty restores it);
    // it and everything below it on the way to a module must still be root's alone.
    static void set_trusted_top_for_testing(const std::string& top);
};

}  // namespace Vexlan::LoadModule

// Exports the factory of a per-service class built as a module.
#define VEXLAN_SERVICE_MODULE(Class)                                                                    \
    extern "C" __attribute__((visibility("default"))) Vexlan::ServiceManager::Base* vexlan_service_factory( \
        const Vexlan::Options* options) {                                                               \
        return new Class(options ? *options : Vexlan::Options::object());                               \
    }
