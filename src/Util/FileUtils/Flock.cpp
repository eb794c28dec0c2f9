#include "Util/FileUtils/Flock.hpp"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Util/Guards.hpp"
#include "Util/LockRegistry.hpp"

namespace Vexlan::FileUtils {

int or_flags(std::initializer_list<std::string_view> names) {
    int op = 0;
    for (auto n : names) {
        if (n == "EX") op |= LOCK_EX;
        else if (n == "SH") op |= LOCK_SH;
        else if (n == "NB") op |= LOCK_NB;
        else if (n == "UN") op |= LOCK_UN;
        else throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", fmt::format("“LOCK_{}” is not a lock flag.", n)}});
    }
    return op;
}

bool Flock::flock(Flock& h, std::initializer_list<std::string_view> flags) {
    if (h.pid_ != 0 && h.pid_ != ::getpid())
        throw Exception::create(Exception::Kinds::Generic, {{"message", fmt::format("The lock handle for “{}” belongs to process {}, not to process {}.",
                                                                    h.path_, h.pid_, ::getpid())}});
    const int op = or_flags(flags);
    int rc, err;
    {
        ErrnoGuard keep;
        rc = ::flock(h.fd_.get(), op);
        err = errno;
    }
    if (rc != 0) {
        if (err == EWOULDBLOCK && (op & LOCK_NB)) return false;
        std::string path = h.path_;
        char link[4096];
        ssize_t n = ::readlink(fmt::format("/proc/{}/fd/{}", ::getpid(), h.fd_.get()).c_str(), link, sizeof link - 1);
        if (n > 0) path.assign(link, static_cast<size_t>(n));
        throw Exception::create(Exception::Kinds::IO::FlockError, {{"path", path}, {"error", err}, {"operation", op}});
    }
    if (op & LOCK_UN) {
        LockRegistry::remove(h.fd_.get());
        h.pid_ = 0;
    } else {
        h.pid_ = ::getpid();
        LockRegistry::add(h.fd_.get());
    }
    return true;
}

Flock::~Flock() {
    if (pid_ == ::getpid() && fd_) {
        ErrnoGuard keep;
        LockRegistry::remove(fd_.get());
        if (::flock(fd_.get(), LOCK_UN) != 0)
            std::fprintf(stderr, "warn [Flock] failed to unlock file descriptor %d: %s\n", fd_.get(), std::strerror(errno));
    }
}

}  // namespace Vexlan::FileUtils
