#include "Process/PidFile/PidFile.hpp"

#include <algorithm>

#include "Process/ProcessInfo/ProcessInfo.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"

namespace Vexlan::PidFile {

std::optional<pid_t> read(const std::string& path) {
    // A pidfile is a line; a larger file is not one.
    auto text = FileUtils::read_regular_file(path, 4096);
    if (!text) return std::nullopt;
    return Number::pid_from_pidfile_text(*text);
}

bool may_signal(pid_t pid) {
    if (pid < 2 || pid > Number::pid_max()) return false;
    auto lineage = ProcessInfo::get_pid_lineage();
    return std::find(lineage.begin(), lineage.end(), pid) == lineage.end();
}

}  // namespace Vexlan::PidFile
