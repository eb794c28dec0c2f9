#pragma once
// What the per-service classes of the distribution's daemons share: who the daemon runs
// as unless the caller said otherwise, and which pidfile a start can wait for.
#include <string>

#include "ServiceManager/Base.hpp"

namespace Vexlan::ServiceManager::Daemon {

// Sets the process owner to `user` unless the options name one.
void default_owner(Base& svc, const Options& options, const std::string& user);

// The pidfile to wait for and read. When systemd drives the service it is the unit's
// PIDFile: a daemon that systemd keeps in the foreground often writes none, and waiting
// for one would fail every start. `always_written` says the daemon writes its configured
// pidfile however it was started (then that one counts when the unit names none).
std::string pidfile_for(Base& svc, const std::string& configured, bool always_written = false);

// Whether a reload can be asked for: systemd's answer for the unit when systemd drives the
// service (a unit without a reload command refuses the job), else what the init script
// offers.
int can_reload(Base& svc, bool init_script_reloads);

// True when the daemon's configuration file is there, or when this user may not look (a
// directory closed to others): a user who cannot see a file must not call a running
// service "not configured".
bool configuration_present(const std::string& path);
// The unit or init-script name the distribution gives the service ("httpd" is "apache2"
// on Debian), or nothing when it is the service's own name.
std::optional<std::string> distribution_name(const std::string& service);

}  // namespace Vexlan::ServiceManager::Daemon
