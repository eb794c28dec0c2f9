#include "CommandLine/Help.hpp"

#include <cstdio>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "HelpText.inc"

namespace Vexlan::RestartSrv::Help {

int usage(const std::string& service, const std::vector<std::string>& custom_actions) {
    const std::string name = service.empty() ? "<service>" : service;
    std::string text =
        fmt::format(R"(Usage: restartsrv_{0} [options] [start|stop|restart|reload|status|check{1}]
       start{0} [options]
       stop{0} [options]
       restartsrv_base {0} [options] [action]

Restarts (by default), starts, stops, reloads, checks or reports the service “{0}”.
A start of a service that is running restarts it.

)",
                    name, custom_actions.empty() ? "" : fmt::format("|{}", fmt::join(custom_actions, "|")));
    text += kHelpOptionsAndExit;
    if (!custom_actions.empty())
        text += fmt::format("\nActions of “{}”: {}\n", name, fmt::join(custom_actions, ", "));
    text += "\nSee restartsrv_base(8).\n";
    std::fputs(text.c_str(), stdout);
    return 0;
}

}  // namespace Vexlan::RestartSrv::Help
