#include "RestartSrv/Help.hpp"

#include <cstdio>

#include <fmt/format.h>

namespace Vexlan::RestartSrv::Help {

int usage(const std::string& service) {
    const std::string name = service.empty() ? "<service>" : service;
    std::fputs(fmt::format(R"(Usage: restartsrv_{0} [options]
       start{0} | stop{0}

Restarts (by default), starts, stops, reloads, checks or reports the service “{0}”.

  --restart / --norestart   restart (the default); --norestart alone reports the status
  --stop                    stop the service
  --reload                  reload the configuration, when the service supports it
  --status                  print the status line
  --check                   check the service and print the result
  --graceful / --no-graceful  choose a graceful restart, or forbid it
  --attempt=N               make exactly one start attempt, numbered N (from 1)
  --verbose / --noverbose   show progress and verdicts (the default, except under systemd)
  --debug                   log time-stamped debug lines
  --force, --forced         act even while the base installation runs
  --initd                   use the init script, not systemd
  --notconfigured-ok        exit 0 when the service is not configured or installed
  --html                    HTML output
  --help                    this text

Exit status: 0 success; 255 a service error shown in verbose mode; 1 any other error;
143 ended by SIGTERM.
)",
                           name)
                   .c_str(),
               stdout);
    return 0;
}

}  // namespace Vexlan::RestartSrv::Help
