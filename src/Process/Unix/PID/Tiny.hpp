#pragma once
#include <sys/types.h>

#include <optional>
#include <string>

namespace Vexlan::Unix::PID {

class Tiny {
public:
    // The pid a pidfile names when that process runs (and is not a zombie).
    std::optional<pid_t> is_pidfile_running(const std::string& pidfile) const;
};

}  // namespace Vexlan::Unix::PID
