#include "Services/Env.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Exception/Exception.hpp"
#include "Util/Env.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Timezones.hpp"

namespace Vexlan::Services::Env {

void setup_env_for_starting_a_daemon() {
    // Besides the safe variables: what the program itself reads, and the terminal's shape.
    Vexlan::Env::clean_env({"LANGUAGE", "LC_CTYPE", "LC_MESSAGES", "NO_COLOR", "VEXLAN_BASE_INSTALL",
                            "RESTARTSRV_CHECKMODE_HEADER", "COLUMNS", "LINES", "SSH_TTY"});
    ::unsetenv("TMP");
    ::unsetenv("TEMP");
    ::setenv("HOME", "/root", 1);
    ::setenv("USER", "root", 1);
    ::setenv("RESTARTSRV", "1", 1);
    ::setenv("TZ", Timezones::calculate_TZ_env().c_str(), 1);
    const std::string dir = Paths::get(Paths::Key::DaemonWorkDir);
    if (::chdir(dir.c_str()) != 0) throw Exception::create(Exception::Kinds::IO::ChdirError, {{"path", dir}, {"error", errno}});
}

}  // namespace Vexlan::Services::Env
