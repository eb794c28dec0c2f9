#include "Process/Unix/PID/Tiny.hpp"

#include "Process/PidFile/PidFile.hpp"
#include "Process/ProcFs.hpp"

namespace Vexlan::Unix::PID {

std::optional<pid_t> Tiny::is_pidfile_running(const std::string& pidfile) const {
    auto pid = PidFile::read(pidfile);
    if (!pid || !ProcFs::is_alive(*pid)) return std::nullopt;
    return pid;
}

}  // namespace Vexlan::Unix::PID
