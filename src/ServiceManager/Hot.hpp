#pragma once
// A service whose daemon restarts itself in place on SIGUSR1 and then rewrites its
// pidfile: the restart flow tries that first.
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "ServiceManager/Base.hpp"

namespace Vexlan::ServiceManager {

class Hot : public Base {
public:
    explicit Hot(const Options& options = Options::object());
    std::string class_name() const override { return "Vexlan::ServiceManager::Hot"; }

    int is_graceful_restart_enabled();
    void is_graceful_restart_enabled(int v) { set("is_graceful_restart_enabled", v); }

    // 1 when the daemon rewrote its pidfile after the signal, else 0.
    virtual int restart_gracefully();
    // A pidfile fit to be read and touched: a regular file with one name, not empty, owned
    // by root or by the service's user.
    bool _is_plain_pidfile(const struct stat& st);
    int _send_usr1(pid_t pid);
    // The daemon's own test of its configuration (empty: it has none). A daemon signalled
    // with a broken configuration dies, and the site is down until someone notices.
    virtual std::vector<std::string> configuration_test_command() { return {}; }
    // What the test said when it failed; nothing when it passed or there is none.
    std::optional<std::string> configuration_problem();
    static constexpr double CONFIGURATION_TEST_TIMEOUT = 60;

    static constexpr int POLLS = 600;
    static constexpr double POLL_WAIT = 0.025;
};

}  // namespace Vexlan::ServiceManager
