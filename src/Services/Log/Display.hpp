#pragma once
// Shows a service's startup log in verbose mode.
#include <optional>
#include <string>

#include "RestartSrv/PropertyMap.hpp"

namespace Vexlan {
class Output;
}

namespace Vexlan::Services::Log {

class Display {
public:
    Display(std::string service, Output* output_obj, std::optional<RestartSrv::Systemd::PropertyMap> service_via_systemd);
    // True when something was shown.
    bool show_startup_log();

private:
    std::string service_;
    Output* output_;
    std::optional<RestartSrv::Systemd::PropertyMap> systemd_;
};

}  // namespace Vexlan::Services::Log
