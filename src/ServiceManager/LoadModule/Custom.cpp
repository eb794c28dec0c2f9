#include "ServiceManager/LoadModule/Custom.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <map>
#include <vector>

#include "Exception/Exception.hpp"
#include "ServiceManager/Base.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/UniqueFd.hpp"

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

// Where the walk to a module's directory starts: "/" (tests start it at a scratch directory
// of their own, whose ancestors they cannot choose).
std::string g_trusted_top = "/";
// A loaded module's file stays open as long as the program runs: glibc knows a loaded object
// by the name it was opened under (/proc/self/fd/N), and that number must never come to name
// a second module.
std::vector<UniqueFd>& loaded_module_files() {
    static std::vector<UniqueFd> files;
    return files;
}

// Debian's "staff" group owns /usr/local (2775) on hosts upgraded from older releases; its
// members may install programs that root runs from its PATH, so it is trusted like root's.
bool trusted_group(gid_t gid) {
    if (gid == 0) return true;
    static const std::optional<gid_t> staff = []() -> std::optional<gid_t> {
        struct group* g = ::getgrnam("staff");
        return g ? std::optional<gid_t>(g->gr_gid) : std::nullopt;
    }();
    return staff && gid == *staff;
}

// Why a file or directory may not be trusted with root's process (a module's code runs as
// soon as it is loaded): it must be root's and writable by nobody else.
std::optional<std::string> untrusted_owner(const std::string& what, const struct stat& st) {
    if (st.st_uid != 0) return what + " is not owned by root";
    if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && (!S_ISDIR(st.st_mode) || !trusted_group(st.st_gid))))
        return what + " is writable by others than root";
    return std::nullopt;
}

struct Opened {
    UniqueFd fd;
    std::string why_not;  // empty when opened and trusted
};

// Opens the module's directory one component at a time from the trusted top, never through a
// link, each component root's and writable by nobody else: no one but root can swap any
// directory on the way between the check and the load.
Opened open_trusted_directory(const std::string& dir) {
    const std::string top = dir.starts_with(g_trusted_top) ? g_trusted_top : "/";
    const std::string rest = dir.substr(top.size());
    auto is_last = [&](size_t from) { return rest.find_first_not_of('/', from) == std::string::npos; };
    auto name_of = [](const std::string& walked, bool last) {
        return last ? std::string("its directory") : "the directory “" + (walked.empty() ? "/" : walked) + "” above it";
    };
    auto why_not = [](int fd, const std::string& what) -> std::optional<std::string> {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return what + " cannot be examined: " + std::strerror(errno);
        if (!S_ISDIR(st.st_mode)) return what + " is not a directory";
        return untrusted_owner(what, st);
    };
    std::string walked = top == "/" ? "" : top;
    UniqueFd fd(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return {UniqueFd(), "“" + top + "” cannot be opened: " + std::strerror(errno)};
    if (auto why = why_not(fd.get(), name_of(walked, is_last(0)))) return {UniqueFd(), *why};
    for (size_t at = 0; at < rest.size();) {
        const size_t end = std::min(rest.find('/', at), rest.size());
        const std::string name = rest.substr(at, end - at);
        at = end + 1;
        if (name.empty() || name == ".") continue;
        walked += "/" + name;
        const std::string what = name_of(walked, is_last(end));
        if (name == "..") return {UniqueFd(), what + " is not a plain path"};
        UniqueFd next(::openat(fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return {UniqueFd(), what + " cannot be opened: " + std::strerror(errno)};
        if (auto why = why_not(next.get(), what)) return {UniqueFd(), *why};
        fd = std::move(next);
    }
    return {std::move(fd), ""};
}

// Opens the module file itself relative to its checked directory and checks what was opened:
// the descriptor, not the path, is what gets loaded.
Opened open_trusted_module(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
    Opened d = open_trusted_directory(dir);
    if (!d.why_not.empty()) return {UniqueFd(), d.why_not};
    Opened out;
    out.fd.reset(::openat(d.fd.get(), path.substr(slash + 1).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!out.fd) {
        out.why_not = errno == ELOOP ? std::string("it is not a regular file")
                                     : std::string("it cannot be examined: ") + std::strerror(errno);
        return out;
    }
    struct stat st {};
    if (::fstat(out.fd.get(), &st) != 0) out.why_not = std::string("it cannot be examined: ") + std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) out.why_not = "it is not a regular file";
    else if (auto why = untrusted_owner("the module", st)) out.why_not = *why;
    // Another name for the same file may lie where others can reach it.
    else if (st.st_nlink != 1) out.why_not = "the module has other names (hard links)";
    if (!out.why_not.empty()) out.fd.reset();
    return out;
}

// Loaded modules stay loaded: objects built from them live until the program ends.
Factory open_module(const std::string& class_name, const std::string& path) {
    Opened file = open_trusted_module(path);
    if (!file.why_not.empty())
        throw Exception::create(Exception::Kinds::ModuleLoadError,
                                {{"module", class_name}, {"path", path}, {"error", file.why_not + "; it was not loaded"}, {"not_located", false}});
    const std::string by_descriptor = "/proc/self/fd/" + std::to_string(file.fd.get());
    void* handle = ::dlopen(by_descriptor.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* err = ::dlerror();
        throw Exception::create(Exception::Kinds::ModuleLoadError, {{"module", class_name}, {"path", path}, {"error", err ? err : "unknown"}, {"not_located", false}});
    }
    loaded_module_files().push_back(std::move(file.fd));
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

void Custom::set_trusted_top_for_testing(const std::string& top) { g_trusted_top = top.empty() ? "/" : top; }

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
