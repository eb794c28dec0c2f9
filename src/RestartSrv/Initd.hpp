#pragma once
#include <optional>
#include <string>

namespace Vexlan::RestartSrv {

// The init script for a service: an exact name (ignoring case) first, then the first
// "S??<name>"-style partial match, then the first numbered match; nothing when systemd
// manages the service.
std::optional<std::string> getinitfile(const std::string& service);

}  // namespace Vexlan::RestartSrv

namespace Vexlan::RestartSrv::Initd {

std::string INIT_D_DIR();
// True when an executable init script of exactly that name exists. Throws for a name
// that is not a valid file-system node name.
bool has_service_via_initd(const std::string& name);

}  // namespace Vexlan::RestartSrv::Initd
