#include "Process/ProcessInfo/ProcessInfo.hpp"

#include <unistd.h>

#include "Process/ProcFs.hpp"

namespace Vexlan::ProcessInfo {

std::vector<pid_t> get_pid_lineage() {
    std::vector<pid_t> out{::getpid()};
    pid_t pid = ::getppid();
    while (pid > 0 && out.size() < 4096) {
        out.push_back(pid);
        if (pid == 1) break;
        auto parent = ProcFs::parent_pid(pid);
        if (!parent || *parent == pid) break;
        pid = *parent;
    }
    return out;
}

}  // namespace Vexlan::ProcessInfo
