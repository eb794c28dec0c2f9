#include "Svcmond/Tiny.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::Svcmond::Tiny {

std::string suspension_file(const std::string& service) {
    if (service.find('/') != std::string::npos)
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“" + service + "” is not a valid service name."}});
    return Paths::get(Paths::Key::SuspendDir) + "/" + service + ".suspended";
}

bool suspend_service(const std::string& service, int delay, std::optional<time_t> now) {
    std::string path = suspension_file(service);
    if (delay <= 0) delay = DEFAULT_SUSPENSION_DELAY;
    if (delay > MAX_SUSPENSION_DELAY) delay = MAX_SUSPENSION_DELAY;
    std::string dir = Paths::get(Paths::Key::SuspendDir);
    if (!FileUtils::make_dirs(dir, 0700)) {
        Debug::log_warn(fmt::format("The system failed to create the directory “{}”: {}", dir, std::strerror(errno)));
        return false;
    }
    // Written beside and renamed over, so the monitor never reads half a number.
    std::string tmp = dir + "/." + service + ".tmp";
    {
        UniqueFd fd = FileUtils::sysopen_with_real_perms(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (!fd || !FileUtils::write_all(fd.get(), std::to_string(now.value_or(::time(nullptr)) + delay))) return false;
    }
    return ::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace Vexlan::Svcmond::Tiny
