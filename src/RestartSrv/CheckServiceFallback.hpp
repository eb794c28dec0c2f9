#pragma once
// The last resort of the status check: find the service's daemon the way an administrator
// would, each way bounded in time and held to the owner and identity rules.
#include <sys/types.h>

#include <string>
#include <vector>

#include "RestartSrv/CheckService.hpp"

namespace Vexlan::Services {

// A status line when the daemon is found running, else empty text. In order:
//  - processes whose command line matches the service's pattern (owned by its user);
//  - processes systemd counts in the service's unit (generated or transient units too),
//    whatever their owner;
//  - the pidfile the init script declares, when its process runs the script's program;
//  - the init script's own status action (0 running, 3 not running);
//  - the program the init script starts (or a program named like the service), owned by
//    the service's user.
std::string check_service(const RestartSrv::CheckServiceArgs& args);

// The daemon's running processes as the identity rules know them: the program the init
// script starts (or the class's program, then only its top processes, not the workers or
// sessions they fork) running as one of the service's users. Empty when neither names it.
std::vector<pid_t> daemon_processes(const RestartSrv::CheckServiceArgs& args);

}  // namespace Vexlan::Services
