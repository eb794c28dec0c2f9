#pragma once
// Shows what a service said while starting and its latest log lines, each line marked as
// an error, a warning or plain output (highlighted on a colour terminal).
#include <optional>
#include <string>

#include "Systemd/PropertyMap.hpp"

namespace Vexlan {
class Output;
}

namespace Vexlan::Services::Log {

class Display {
public:
    // Throws MissingParameter naming a missing service or output object.
    Display(std::string service, Output* output_obj, std::optional<RestartSrv::Systemd::PropertyMap> service_via_systemd);
    // The startup log, then the latest log lines; parts that cannot be fetched are left out.
    int show_startup_log();

    static constexpr const char* STARTUP_LOG_HEADER = "Startup Log";
    static constexpr const char* LOG_MESSAGES_HEADER = "Log Messages";

private:
    std::string service_;
    Output* output_;
    std::optional<RestartSrv::Systemd::PropertyMap> systemd_;
};

}  // namespace Vexlan::Services::Log
