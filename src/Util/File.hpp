#pragma once
// Small file helpers. Every descriptor opened here is close-on-exec.
#include <optional>
#include <string>
#include <sys/types.h>

#include <ctime>
#include <string_view>

#include "Util/UniqueFd.hpp"

namespace Vexlan::FileUtils {

// Opens `path` with `flags` and sets exactly `perms` on a file it creates, whatever the
// umask. Files at fixed paths are where others plant symlinks and FIFOs: the last
// component is never followed (ELOOP), and anything but a regular file is refused
// (EINVAL) without blocking. Returns an invalid descriptor with errno set on failure.
UniqueFd sysopen_with_real_perms(const std::string& path, int flags, mode_t perms);
// A file only this program writes (a log, a lock), opened as above with mode 0600.
// Refused (EPERM) when another user owns it or it has other names (a hard link planted to
// some other file); a mode someone loosened is made 0600 again. O_TRUNC happens only after
// those checks. `replace_foreign`: a refused file is removed and made anew (for files whose
// content is this program's alone, such as a lock or a startup log).
UniqueFd open_private_file(const std::string& path, int flags, bool replace_foreign = false);
// Makes sure a directory the program writes into is safe to write into, making what is
// missing with `mode`. From the product's own directory down (Paths::owned_root_of) each
// component is opened without following a symbolic link and must be a directory of root's
// that neither group nor others may write; above it the system's directories are taken as
// they are. False with errno set (ELOOP: a symbolic link, ENOTDIR, EPERM: another owner or
// a writable mode) otherwise. A path outside the product's directories is only made.
bool ensure_owned_directory(const std::string& path, mode_t mode);
// Why such an open failed, in words: a refused symlink or non-regular file says so.
std::string describe_open_error(int err);
// A regular file for reading, under the same rules.
UniqueFd open_regular_for_reading(const std::string& path);
// Opens `path` for reading without following a link at its name, nor (where the kernel has
// openat2's RESOLVE_NO_SYMLINKS) on the way from its directory's resolved path; no check of
// what was opened: the caller fstat()s the descriptor.
UniqueFd open_without_links(const std::string& path);
// Removes the name `path` from its directory with unlinkat on a descriptor of that directory,
// opened without following a link (the directory may belong to a daemon's user, who could
// otherwise make root remove a file elsewhere). False when nothing was removed.
bool remove_from_its_directory(const std::string& path);
// Content of a regular file (symlinks, FIFOs and devices refused), at most max_bytes.
std::optional<std::string> read_regular_file(const std::string& path, size_t max_bytes = 1 << 20);
// Reads a descriptor to its end (at most max_bytes).
std::optional<std::string> read_all(int fd, size_t max_bytes = static_cast<size_t>(-1));

// Whole content, or nullopt (errno set) when it cannot be read.
std::optional<std::string> read_file(const std::string& path);
// First line without its line end; nullopt when the file cannot be opened.
std::optional<std::string> read_first_line(const std::string& path);

// Writes all of `data` to fd, retrying on EINTR and short writes. False with errno set.
bool write_all(int fd, std::string_view data);

bool exists(const std::string& path);
bool is_regular_file(const std::string& path);
bool is_directory(const std::string& path);
bool is_executable_file(const std::string& path);

// Replaces a file as a whole: written to a temporary file in the same directory with exactly
// `mode`, then renamed over the path, so a reader never sees half of it (and a symlink at
// the path is replaced, never followed). False with errno set on failure.
bool replace_file(const std::string& path, std::string_view content, mode_t mode);

// Modification time in whole seconds; 0 when the file does not exist.
time_t mtime(const std::string& path);

// Creates a directory (and missing parents) with `mode`; false when it cannot.
bool make_dirs(const std::string& path, mode_t mode);

}  // namespace Vexlan::FileUtils
