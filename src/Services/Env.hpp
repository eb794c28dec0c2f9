#pragma once

namespace Vexlan::Services::Env {

// The clean, fixed environment every daemon is started with: the safe variables only,
// no TMP or TEMP, fixed HOME and USER, RESTARTSRV=1, and "/" as working directory.
// Throws when the working directory cannot be changed.
void setup_env_for_starting_a_daemon();

}  // namespace Vexlan::Services::Env
