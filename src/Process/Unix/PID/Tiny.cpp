#include "Process/Unix/PID/Tiny.hpp"

#include <cstdlib>

#include "Process/ProcFs.hpp"
#include "Util/File.hpp"

namespace Vexlan::Unix::PID {

std::optional<pid_t> Tiny::is_pidfile_running(const std::string& pidfile) const {
    auto line = FileUtils::read_first_line(pidfile);
    if (!line) return std::nullopt;
    long pid = std::strtol(line->c_str(), nullptr, 10);
    if (pid <= 0 || !ProcFs::is_alive(static_cast<pid_t>(pid))) return std::nullopt;
    return static_cast<pid_t>(pid);
}

}  // namespace Vexlan::Unix::PID
