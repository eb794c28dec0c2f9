#include "Process/Fuser/Fuser.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "Process/ProcFs.hpp"
#include "Util/UniqueDir.hpp"

namespace Vexlan::Fuser {

std::vector<pid_t> running_processes() {
    auto pids = ProcFs::list_pids();
    // Text order, as a directory listing sorted by name would give.
    std::sort(pids.begin(), pids.end(), [](pid_t a, pid_t b) { return std::to_string(a) < std::to_string(b); });
    return pids;
}

std::vector<std::string> proc_has_open_files(pid_t pid, const std::vector<std::string>& files) {
    std::set<std::string> wanted(files.begin(), files.end()), found;
    std::string fd_dir = ProcFs::pid_dir(pid) + "/fd";
    const UniqueDir dir_stream = open_dir(fd_dir);
    DIR* dir = dir_stream.get();
    if (!dir) return {};
    char link[4096];
    while (struct dirent* e = ::readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        ssize_t n = ::readlinkat(::dirfd(dir), e->d_name, link, sizeof link - 1);
        if (n <= 0) continue;
        std::string target(link, static_cast<size_t>(n));
        if (wanted.count(target)) found.insert(target);
    }
    return {found.begin(), found.end()};
}

std::map<std::string, std::vector<pid_t>> check(const std::vector<std::string>& files) {
    std::map<std::string, std::vector<pid_t>> out;
    for (pid_t pid : running_processes())
        for (const auto& path : proc_has_open_files(pid, files)) out[path].push_back(pid);
    return out;
}

}  // namespace Vexlan::Fuser
