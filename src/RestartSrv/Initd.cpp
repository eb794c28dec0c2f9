#include "RestartSrv/Initd.hpp"

#include <dirent.h>
#include <strings.h>

#include "Systemd/SystemdQueries.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Regex.hpp"
#include "Util/UniqueDir.hpp"
#include "Util/Validate.hpp"

namespace Vexlan::RestartSrv::Initd {

std::string INIT_D_DIR() { return Paths::get(Paths::Key::InitDDir); }

bool has_service_via_initd(const std::string& name) {
    if (name.empty()) return false;
    Validate::filesystem_node_name_or_die(name);
    return FileUtils::is_executable_file(INIT_D_DIR() + "/" + name);
}

}  // namespace Vexlan::RestartSrv::Initd

namespace Vexlan::RestartSrv {

std::optional<std::string> getinitfile(const std::string& service) {
    if (service.empty() || service == "clamd" || Systemd::has_service_via_systemd(service)) return std::nullopt;
    const std::string dir = Initd::INIT_D_DIR();
    const UniqueDir d_stream = open_dir(dir);
    DIR* d = d_stream.get();
    if (!d) return std::nullopt;
    static const Regex kHidden(R"(^\.)");
    static const Regex kRpm(R"(\.rpm[a-z]+$)");
    const Regex partial("^(?:[A-Za-z0-9]+[-_.])" + Regex::quote(service) + "$");
    const Regex numeric("^[SK][0-9]+" + Regex::quote(service) + "$");
    std::optional<std::string> partial_match, numeric_match;
    while (struct dirent* e = ::readdir(d)) {
        std::string entry = e->d_name;
        if (kHidden.match(entry) || kRpm.match(entry)) continue;
        if (!FileUtils::is_executable_file(dir + "/" + entry)) continue;
        if (::strcasecmp(entry.c_str(), service.c_str()) == 0) {
            return dir + "/" + entry;
        }
        if (partial.match(entry)) {
            if (!partial_match) partial_match = entry;
        } else if (numeric.match(entry)) {
            if (!numeric_match) numeric_match = entry;
        }
    }
    if (partial_match) return dir + "/" + *partial_match;
    if (numeric_match) return dir + "/" + *numeric_match;
    return std::nullopt;
}

}  // namespace Vexlan::RestartSrv
