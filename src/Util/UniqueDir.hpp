#pragma once
// A directory stream owned like a descriptor: closed on every path out of its scope.
#include <dirent.h>

#include <memory>
#include <string>

namespace Vexlan {

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// opendir's stream (close-on-exec, as glibc opens it), or null with errno set.
inline UniqueDir open_dir(const std::string& path) { return UniqueDir(::opendir(path.c_str())); }

}  // namespace Vexlan
