#include "Process/IONice/IONice.hpp"

#include <unistd.h>

#include "SafeRun/Simple.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"

namespace Vexlan::IONice {

std::optional<int> reset() {
    std::string tool;
    for (const char* p : {"/usr/bin/ionice", "/bin/ionice"})
        if (FileUtils::is_executable_file(p)) {
            tool = p;
            break;
        }
    if (tool.empty()) return std::nullopt;
    SafeRun::Simple::saferun({tool, "-c", "0", "-p", std::to_string(::getpid())});
    return last_child_status() == 0 ? 1 : 0;
}

}  // namespace Vexlan::IONice
