#pragma once
#include <string>

namespace Vexlan::Timezones {

// The server's time zone as a TZ value ("Europe/Berlin"), the way the distribution sets it
// up: the zone /etc/localtime links to, else /etc/timezone, else "UTC".
std::string calculate_TZ_env();

}  // namespace Vexlan::Timezones
