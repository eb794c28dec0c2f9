#include "Util/Timezones.hpp"

#include <unistd.h>

#include "Util/File.hpp"
#include "Util/Text.hpp"

namespace Vexlan::Timezones {

std::string calculate_TZ_env() {
    // Every distribution the panel supports links /etc/localtime into the zone database.
    char buf[512];
    ssize_t n = ::readlink("/etc/localtime", buf, sizeof buf - 1);
    if (n > 0) {
        std::string target(buf, static_cast<size_t>(n));
        const std::string marker = "zoneinfo/";
        if (auto at = target.find(marker); at != std::string::npos && at + marker.size() < target.size())
            return target.substr(at + marker.size());
    }
    if (auto zone = FileUtils::read_first_line("/etc/timezone")) {
        auto trimmed = Text::trim(*zone);
        if (!trimmed.empty()) return std::string(trimmed);
    }
    return "UTC";
}

}  // namespace Vexlan::Timezones
