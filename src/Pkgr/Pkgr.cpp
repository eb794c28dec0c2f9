#include "Pkgr/Pkgr.hpp"

#include "SafeRun/Simple.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"

namespace Vexlan::Pkgr {

std::optional<std::string> get_package_version(const std::string& package) {
    if (package.empty()) return std::nullopt;
    std::optional<std::string> out;
    if (FileUtils::is_executable_file("/usr/bin/dpkg-query")) {
        out = SafeRun::Simple::saferunnoerror({"/usr/bin/dpkg-query", "-W", "-f", "${db:Status-Abbrev} ${Version}\n", package});
        if (!out || last_child_status() != 0) return std::nullopt;
        // "ii  1.2.3": only an installed package counts.
        if (!out->starts_with("ii")) return std::nullopt;
        auto space = out->find_first_not_of(' ', 3);
        std::string version = space == std::string::npos ? "" : out->substr(space);
        while (!version.empty() && (version.back() == '\n' || version.back() == ' ')) version.pop_back();
        return version.empty() ? std::nullopt : std::optional<std::string>(version);
    }
    if (FileUtils::is_executable_file("/usr/bin/rpm")) {
        out = SafeRun::Simple::saferunnoerror({"/usr/bin/rpm", "-q", "--queryformat", "%{VERSION}-%{RELEASE}", package});
        if (!out || last_child_status() != 0 || out->empty()) return std::nullopt;
        return out;
    }
    return std::nullopt;
}

}  // namespace Vexlan::Pkgr
