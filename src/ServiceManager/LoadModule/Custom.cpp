#include "ServiceManager/LoadModule/Custom.hpp"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <map>

#include "Exception/Exception.hpp"
#include "ServiceManager/Base.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::LoadModule {

namespace {
std::map<std::string, Factory>& registry() {
    static std::map<std::string, Factory> r;
    return r;
}
std::string g_custom_dir, g_builtin_dir;
constexpr std::string_view kPrefix = "Vexlan::ServiceManager::Services::";

std::string module_file_name(const std::string& class_name) {
    std::string name = class_name.starts_with(kPrefix) ? class_name.substr(kPrefix.size()) : class_name;
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name.compare(i, 2, "::") == 0) {
            out += '/';
            ++i;
        } else {
            out += name[i];
        }
    }
    return out + ".so";
}

// Why a module may not be trusted with root's process (its code runs as soon as it is
// loaded): it and its directory must be root's and writable by nobody else.
std::optional<std::string> untrusted(const std::string& path) {
    auto check = [](const std::string& what, const struct stat& st) -> std::optional<std::string> {
        if (st.st_uid != 0) return what + " is not owned by root";
        if (st.st_mode & (S_IWGRP | S_IWOTH)) return what + " is writable by others than root";
        return std::nullopt;
    };
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::string("it cannot be examined: ") + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return std::string("it is not a regular file");
    if (auto why = check("the module", st)) return why;
    const std::string dir = path.substr(0, path.rfind('/'));
    if (::stat(dir.empty() ? "/" : dir.c_str(), &st) != 0) return std::string("its directory cannot be examined");
    return check("its directory", st);
}

// Loaded modules stay loaded: objects built from them live until the program ends.
Factory open_module(const std::string& class_name, const std::string& path) {
    if (auto why = untrusted(path))
        throw Exception::create(Exception::Kinds::ModuleLoadError,
                                {{"module", class_name}, {"path", path}, {"error", *why + "; it was not loaded"}, {"not_located", false}});
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* err = ::dlerror();
        throw Exception::create(Exception::Kinds::ModuleLoadError, {{"module", class_name}, {"path", path}, {"error", err ? err : "unknown"}, {"not_located", false}});
    }
    auto fn = reinterpret_cast<FactoryFunction>(::dlsym(handle, FACTORY_SYMBOL));
    if (!fn)
        throw Exception::create(Exception::Kinds::ModuleLoadError, {{"module", class_name}, {"path", path},
                                                    {"error", std::string("the module has no “") + FACTORY_SYMBOL + "”"},
                                                    {"not_located", false}});
    return [fn](const Options& o) { return std::unique_ptr<ServiceManager::Base>(fn(&o)); };
}
}  // namespace

void register_class(const std::string& class_name, Factory factory) { registry()[class_name] = std::move(factory); }

void Custom::set_dirs_for_testing(const std::string& custom_dir, const std::string& builtin_dir) {
    g_custom_dir = custom_dir;
    g_builtin_dir = builtin_dir;
}

std::optional<Factory> Custom::find(const std::string& class_name) {
    const std::string file = module_file_name(class_name);
    const std::string custom = (g_custom_dir.empty() ? Paths::get(Paths::Key::CustomModuleDir) : g_custom_dir) + "/" + file;
    if (FileUtils::exists(custom)) return open_module(class_name, custom);
    if (auto it = registry().find(class_name); it != registry().end()) return it->second;
    const std::string builtin = (g_builtin_dir.empty() ? Paths::get(Paths::Key::BuiltinModuleDir) : g_builtin_dir) + "/" + file;
    if (FileUtils::exists(builtin)) return open_module(class_name, builtin);
    return std::nullopt;
}

Factory Custom::load(const std::string& class_name) {
    if (auto factory = find(class_name)) return *factory;
    auto quiet = Exception::get_stack_trace_suppressor();
    throw Exception::create(Exception::Kinds::ModuleLoadError, {{"module", class_name},
                                                {"error", "Can't locate " + module_file_name(class_name) + " in the module search path"},
                                                {"not_located", true}});
}

}  // namespace Vexlan::LoadModule
