#include "Util/File.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Util/Guards.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::FileUtils {

namespace {
// Only a regular file is ours to use; the descriptor goes back to blocking mode, since the
// non-blocking flag was only there so that a FIFO planted at the path cannot hang the open.
UniqueFd keep_if_regular(UniqueFd fd) {
    if (!fd) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return UniqueFd();
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return UniqueFd();
    }
    int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl >= 0) ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}
}  // namespace

UniqueFd sysopen_with_real_perms(const std::string& path, int flags, mode_t perms) {
    flags |= O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    if (flags & O_CREAT) {
        // Create exclusively with no permission bits, then set them: the umask never
        // decides the mode and the file is never open to others in between.
        UniqueFd fd(::open(path.c_str(), flags | O_EXCL, 0));
        if (fd) {
            ::fchmod(fd.get(), perms);
            return fd;
        }
        if (errno != EEXIST || (flags & O_EXCL)) return fd;
        flags &= ~O_CREAT;
    }
    UniqueFd fd(::open(path.c_str(), flags));
    // A FIFO without a reader refuses a non-blocking writer: it is not a regular file.
    if (!fd && errno == ENXIO) errno = EINVAL;
    return keep_if_regular(std::move(fd));
}

UniqueFd open_private_file(const std::string& path, int flags, bool replace_foreign) {
    const bool truncate = flags & O_TRUNC;
    UniqueFd fd = sysopen_with_real_perms(path, flags & ~O_TRUNC, 0600);
    if (!fd) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return UniqueFd();
    // Root's own file with a loosened mode is tightened, not replaced: a lock file may be
    // held by another root process, and a new one beside it would end the exclusion.
    if (st.st_uid != ::geteuid() || st.st_nlink != 1) {
        fd.reset();
        if (replace_foreign && ::unlink(path.c_str()) == 0) return open_private_file(path, flags, false);
        errno = EPERM;
        return fd;
    }
    if ((st.st_mode & 07077) != 0 && ::fchmod(fd.get(), 0600) != 0) return UniqueFd();
    if (truncate && ::ftruncate(fd.get(), 0) != 0) return UniqueFd();
    return fd;
}

bool ensure_owned_directory(const std::string& path, mode_t mode) {
    const std::string owned = Paths::owned_root_of(path);
    if (owned.empty()) return make_dirs(path, mode);
    const std::string base = owned.substr(0, owned.rfind('/'));
    const std::string system_part = base.empty() ? "/" : base;
    if (!is_directory(system_part) && !make_dirs(system_part, 0755)) return false;
    UniqueFd dir(::open(system_part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return false;
    size_t at = base.size() + 1;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(at, end - at);
        at = end + 1;
        if (name.empty()) continue;
        if (::mkdirat(dir.get(), name.c_str(), mode) != 0 && errno != EEXIST) return false;
        UniqueFd next(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            struct stat link {};
            if (errno == ENOTDIR && ::fstatat(dir.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(link.st_mode))
                errno = ELOOP;  // said as what it is
            return false;
        }
        struct stat st {};
        if (::fstat(next.get(), &st) != 0) return false;
        if (st.st_uid != 0 || (st.st_mode & 022) != 0) {
            errno = EPERM;
            return false;
        }
        dir = std::move(next);
    }
    return true;
}

std::string describe_open_error(int err) {
    if (err == EPERM) return "another user owns it or may write to it, or it has other names; it is not used";
    if (err == ELOOP) return "it is a symbolic link, which is not followed";
    if (err == EINVAL) return "it is not a regular file";
    return std::strerror(err);
}

UniqueFd open_regular_for_reading(const std::string& path) {
    return keep_if_regular(UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK)));
}

UniqueFd open_without_links(const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    // The directory's own path is resolved once (Debian's /var/run is root's link to /run);
    // from there on no link is followed.
    const size_t slash = path.rfind('/');
    std::string resolved = path;
    if (slash != std::string::npos && slash > 0) {
        char* dir = ::realpath(path.substr(0, slash).c_str(), nullptr);
        if (!dir) return UniqueFd();
        resolved = std::string(dir) + path.substr(slash);
        std::free(dir);
    }
    struct open_how how {};
    how.flags = kFlags;
    how.resolve = RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, resolved.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return UniqueFd(static_cast<int>(fd));
    // Kernels before 5.6 (or a filter that forbids the call): the last component at least.
    return UniqueFd(::open(resolved.c_str(), kFlags));
}

bool remove_from_its_directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size()) return false;
    const UniqueFd dir = open_without_links(slash == 0 ? "/" : path.substr(0, slash));
    struct stat st {};
    if (!dir || ::fstat(dir.get(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return ::unlinkat(dir.get(), path.c_str() + slash + 1, 0) == 0;
}

std::optional<std::string> read_regular_file(const std::string& path, size_t max_bytes) {
    UniqueFd fd = open_regular_for_reading(path);
    if (!fd) return std::nullopt;
    return read_all(fd.get(), max_bytes);
}

std::optional<std::string> read_all(int fd, size_t max_bytes) {
    std::string out;
    char buf[65536];
    while (out.size() < max_bytes) {
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, max_bytes - out.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::optional<std::string> read_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) return std::nullopt;
    return read_all(fd.get());
}

std::optional<std::string> read_first_line(const std::string& path) {
    auto content = read_file(path);
    if (!content) return std::nullopt;
    auto nl = content->find('\n');
    if (nl != std::string::npos) content->resize(nl);
    return content;
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool replace_file(const std::string& path, std::string_view content, mode_t mode) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "/." + name + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd) return false;
    bool ok = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), content) && ::fsync(fd.get()) == 0;
    int err = errno;
    if (fd.reset() != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
    if (ok) err = errno;
    ::unlink(tmp.c_str());
    errno = err;
    return false;
}

time_t mtime(const std::string& path) {
    ErrnoGuard keep;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

bool exists(const std::string& path) {
    ErrnoGuard keep;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file(const std::string& path) {
    ErrnoGuard keep;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_directory(const std::string& path) {
    ErrnoGuard keep;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_executable_file(const std::string& path) {
    ErrnoGuard keep;
    return is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

bool make_dirs(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    if (is_directory(path)) return true;
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !make_dirs(path.substr(0, slash), mode)) return false;
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return false;
    return is_directory(path);
}

}  // namespace Vexlan::FileUtils
