#include "Util/Guards.hpp"

#include <cstdlib>
#include <cstring>

namespace Vexlan {

namespace {
int g_last_child_status = 0;
}

int last_child_status() { return g_last_child_status; }
void set_last_child_status(int status) { g_last_child_status = status; }

SignalDispositionGuard::SignalDispositionGuard(int signo, void (*handler)(int)) : signo_(signo) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    installed_ = ::sigaction(signo, &sa, &previous_) == 0;
}

SignalDispositionGuard::~SignalDispositionGuard() {
    if (installed_) ::sigaction(signo_, &previous_, nullptr);
}

void EnvGuard::remember(const std::string& name) {
    for (const auto& [n, v] : saved_)
        if (n == name) return;
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
}

void EnvGuard::set(const std::string& name, const std::string& value) {
    remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
}

void EnvGuard::unset(const std::string& name) {
    remember(name);
    ::unsetenv(name.c_str());
}

EnvGuard::~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second)
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            ::unsetenv(it->first.c_str());
    }
}

}  // namespace Vexlan
