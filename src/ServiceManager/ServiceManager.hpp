#pragma once
// Turns a service name into a service object: a per-service class loaded by name, or
// the generic object when an init script or a systemd unit exists for the name.
#include <memory>
#include <string>

#include "ServiceManager/Base.hpp"

namespace Vexlan::ServiceManager {

// Options: "service" (required), "longmess" (copied into the Unknown error), and any
// other option, passed on to the class chosen.
std::unique_ptr<Base> new_service(const Options& options);

// "exim" -> "Exim": the module part of the class name.
std::string module_name_for(const std::string& service);

}  // namespace Vexlan::ServiceManager
