#pragma once
#include <map>
#include <string>

namespace Vexlan::RestartSrv::Systemd {

// systemd unit properties by name, as `systemctl show` prints them.
using PropertyMap = std::map<std::string, std::string>;

}  // namespace Vexlan::RestartSrv::Systemd
