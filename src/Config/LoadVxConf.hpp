#pragma once
// The read-only entry points to the panel's main configuration.
#include "Config/VxConfGuard.hpp"

namespace Vexlan::Config::LoadVxConf {

// A fresh copy, free to change.
ConfigMap loadvxconf();
// The shared configuration (the valid cache when there is one); not to be changed. A
// configuration that cannot be read gives an empty map and a warning in the log.
const ConfigMap& loadvxconf_not_copy();

// A setting's value, or nothing.
std::optional<std::string> value(const std::string& key);

}  // namespace Vexlan::Config::LoadVxConf
