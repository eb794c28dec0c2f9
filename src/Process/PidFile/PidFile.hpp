#pragma once
// Pidfiles are written by daemons, by users and by anyone who can plant a file: a pid is
// taken from one only when the file is a regular file (never followed through a symlink)
// and its first line is all digits naming a pid in 2..pid_max.
#include <sys/types.h>

#include <optional>
#include <string>

namespace Vexlan::PidFile {

std::optional<pid_t> read(const std::string& path);

// A pid this program may signal on the word of a file: never PID 1 (nor 0 or a negative
// "process group" number), never the program itself or one of its ancestors.
bool may_signal(pid_t pid);

}  // namespace Vexlan::PidFile
