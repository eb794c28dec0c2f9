#include "Services/Env.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Exception/Exception.hpp"
#include "Util/Env.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::Services::Env {

void setup_env_for_starting_a_daemon() {
    Vexlan::Env::clean_env({"LANG", "LANGUAGE", "LC_ALL", "TERM", "NO_COLOR", "VEXLAN_BASE_INSTALL",
                            "RESTARTSRV_CHECKMODE_HEADER", "TZ", "PATH"});
    ::unsetenv("TMP");
    ::unsetenv("TEMP");
    ::setenv("HOME", "/root", 1);
    ::setenv("USER", "root", 1);
    ::setenv("RESTARTSRV", "1", 1);
    if (!std::getenv("TZ")) {
        if (auto zone = FileUtils::read_first_line("/etc/timezone"); zone && !zone->empty()) ::setenv("TZ", zone->c_str(), 1);
    }
    const std::string dir = Paths::get(Paths::Key::DaemonWorkDir);
    if (::chdir(dir.c_str()) != 0) throw Exception::create(Exception::Kinds::IO::ChdirError, {{"path", dir}, {"error", errno}});
}

}  // namespace Vexlan::Services::Env
