#pragma once
// Which processes hold given files open.
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace Vexlan::Fuser {

// Path -> pids that have it open (only paths some process has open appear).
std::map<std::string, std::vector<pid_t>> check(const std::vector<std::string>& files);
std::vector<pid_t> running_processes();
// The given paths that `pid` has open, sorted.
std::vector<std::string> proc_has_open_files(pid_t pid, const std::vector<std::string>& files);

}  // namespace Vexlan::Fuser
