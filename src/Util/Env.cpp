#include "Util/Env.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

extern char** environ;

namespace Vexlan::Env {

const std::vector<std::string>& get_safe_env_vars() {
    static const std::vector<std::string> kSafe = {"PATH", "HOME", "USER", "LOGNAME", "SHELL", "LANG", "LC_ALL",
                                                   "TZ",   "TERM", "TMPDIR", "TMP", "TEMP", "RESTARTSRV"};
    return kSafe;
}

std::string get_safe_path() { return "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"; }

std::string set_safe_path() {
    std::string path = get_safe_path();
    ::setenv("PATH", path.c_str(), 1);
    return path;
}

void clean_env(const std::vector<std::string>& keep, const std::vector<std::string>& remove, bool http_purge) {
    // Runs on every call of the program, over whatever environment the caller brought: one
    // pass, no copies of the entries that stay.
    auto listed = [](const std::vector<std::string>& names, std::string_view name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    std::vector<std::string> doomed;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        std::string_view name = entry.substr(0, entry.find('='));
        const bool allowed = (listed(get_safe_env_vars(), name) || listed(keep, name)) && !listed(remove, name);
        if (!allowed) doomed.emplace_back(name);
    }
    for (const auto& name : doomed) ::unsetenv(name.c_str());
    if (http_purge) {
        // What a web server's environment adds that no daemon should inherit.
        ::unsetenv("HTTP_PROXY");
        ::unsetenv("HTTP_COOKIE");
    }
}

std::vector<std::string> safe_env_entries() {
    std::vector<std::string> out;
    for (const auto& name : get_safe_env_vars()) {
        const char* v = std::getenv(name.c_str());
        if (v) out.push_back(name + "=" + v);
    }
    return out;
}

}  // namespace Vexlan::Env
