#include "CommandLine/Help.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "HelpText.inc"
#include "Version.inc"

namespace Vexlan::RestartSrv::Help {

std::string usage_text(const std::string& service, const std::vector<std::string>& custom_actions) {
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
    return text;
}

std::string version_text() {
    return fmt::format("restartsrv_base {} (commit {})\n", VEXLAN_VERSION, VEXLAN_COMMIT);
}

}  // namespace Vexlan::RestartSrv::Help
