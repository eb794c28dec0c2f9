#include "Binaries/Binaries.hpp"

#include "Exception/Exception.hpp"
#include "RestartSrv/Legacy.hpp"
#include "Util/File.hpp"

namespace Vexlan::Binaries {

std::optional<std::string> path(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (name.find('/') == std::string::npos) {
        for (const auto& dir : RestartSrv::search_path_dirs())
            if (FileUtils::exists(dir + "/" + name)) return dir + "/" + name;
    }
    auto quiet = Exception::get_stack_trace_suppressor();
    throw Exception::create(Exception::Kinds::Generic, {{"message", "No program directory holds “" + name + "”."}});
}

}  // namespace Vexlan::Binaries
