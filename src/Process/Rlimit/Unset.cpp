#include "Process/Rlimit/Unset.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "Output/Debug.hpp"

namespace Vexlan::Rlimit::Unset {

void unset_rlimits() {
    const int all[] = {RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_DATA, RLIMIT_STACK, RLIMIT_CORE, RLIMIT_RSS, RLIMIT_NPROC,
                       RLIMIT_NOFILE, RLIMIT_MEMLOCK, RLIMIT_AS, RLIMIT_LOCKS, RLIMIT_SIGPENDING, RLIMIT_MSGQUEUE};
    const int unlimited_as_root[] = {RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_DATA, RLIMIT_RSS, RLIMIT_AS};
    std::string failures;
    for (int r : all) {
        struct rlimit lim {};
        if (::getrlimit(r, &lim) != 0) continue;
        if (::geteuid() == 0)
            for (int u : unlimited_as_root)
                if (u == r) lim.rlim_max = RLIM_INFINITY;
        lim.rlim_cur = lim.rlim_max;
        if (::setrlimit(r, &lim) != 0) failures += fmt::format("resource {}: {}; ", r, std::strerror(errno));
    }
    if (!failures.empty()) Debug::log_warn("Some resource limits could not be lifted: " + failures);
}

}  // namespace Vexlan::Rlimit::Unset
