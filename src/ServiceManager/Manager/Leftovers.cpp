#include "ServiceManager/Manager/Leftovers.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Process/PidFile/PidFile.hpp"
#include "ServiceManager/Base.hpp"
#include "Util/Time.hpp"

namespace Vexlan::ServiceManager::Manager {

std::vector<Kill::Target> daemon_before_stop(Base& svc) {
    return Kill::identify(svc.daemon_processes());
}

bool end_what_the_stop_left(Base& svc, const std::vector<Kill::Target>& daemon, double wait) {
    auto left = [&] {
        std::vector<Kill::Target> out;
        for (const auto& t : daemon)
            if (Kill::still_the_same(t) && PidFile::may_signal(t.pid)) out.push_back(t);
        return out;
    };
    // A daemon the stop did signal may take a moment to shut down on its own.
    const double until = Time::monotonic_seconds_f() + LEFT_GRACE_SECONDS;
    while (!left().empty() && Time::monotonic_seconds_f() < until) Time::sleep_for(0.2);
    const auto survivors = left();
    if (survivors.empty()) return false;
    std::vector<pid_t> pids;
    for (const auto& t : survivors) pids.push_back(t.pid);
    svc.debug(fmt::format("The stop of “{}” left its daemon running ({}); ending it.", svc.service_name(),
                          fmt::join(pids, ", ")));
    return Kill::escalate(survivors, false, wait, svc.service_name()) != 0;
}

}  // namespace Vexlan::ServiceManager::Manager
