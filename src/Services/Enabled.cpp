#include "Services/Enabled.hpp"

#include "Util/File.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::Services::Enabled {

std::string disable_file(const std::string& service) { return Paths::get(Paths::Key::DisableDir) + "/" + service; }

int is_enabled(const std::string& service) {
    if (service.empty()) return -1;
    return FileUtils::exists(disable_file(service)) ? 0 : 1;
}

}  // namespace Vexlan::Services::Enabled
