#pragma once
// An open file carrying an flock lock. Only the process that took the lock ever
// unlocks it: a copy inherited through fork just closes its descriptor.
#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "Util/UniqueFd.hpp"

namespace Vexlan::FileUtils {

class Flock {
public:
    Flock(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
    ~Flock();
    Flock(const Flock&) = delete;
    Flock& operator=(const Flock&) = delete;

    // Applies flock with the named flags ("EX", "NB", "UN", "SH"). True when granted,
    // false when a non-blocking request would block; throws on any other failure or
    // when this handle was locked by another process.
    static bool flock(Flock& handle, std::initializer_list<std::string_view> flags);

    int fd() const { return fd_.get(); }
    pid_t locked_by() const { return pid_; }
    const std::string& path() const { return path_; }

private:
    UniqueFd fd_;
    std::string path_;
    pid_t pid_ = 0;
};

// LOCK_EX | LOCK_NB ... from the names.
int or_flags(std::initializer_list<std::string_view> names);

}  // namespace Vexlan::FileUtils
