#include "Config/LoadConfig.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "Output/Debug.hpp"
#include "Util/File.hpp"
#include "Util/Text.hpp"
#include "Util/Time.hpp"

namespace Vexlan::Config::LoadConfig {

namespace {
double g_lock_wait = LOCK_WAIT_SECONDS;

// The lock file: made 0600 when missing, and used only while it is a regular file of root's
// that nobody else may open.
UniqueFd open_lock_file(const std::string& path) {
    // In a directory another user could swap or fill, the lock would be theirs to hold.
    if (!FileUtils::ensure_owned_directory(path.substr(0, path.rfind('/')), 0755)) return UniqueFd();
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600));
    if (!fd) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return UniqueFd();
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
        errno = EPERM;
        return UniqueFd();
    }
    return fd;
}
}  // namespace

void set_lock_wait_for_testing(double seconds) { g_lock_wait = seconds > 0 ? seconds : LOCK_WAIT_SECONDS; }

std::optional<Map> parse_cache(std::string_view text) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    Map map;
    for (auto it = json.begin(); it != json.end(); ++it) {
        if (it->is_string())
            map[it.key()] = it->get<std::string>();
        else if (it->is_number() || it->is_boolean())
            map[it.key()] = it->dump();
        else if (!it->is_null())
            return std::nullopt;  // not a flat map: not ours, not used
    }
    return map;
}

Map parse(std::string_view text, std::vector<size_t>* skipped) {
    Map map;
    size_t number = 0;
    for (const auto& raw : Text::lines(text)) {
        ++number;
        if (!Text::is_utf8(raw)) {
            if (skipped) skipped->push_back(number);
            continue;
        }
        std::string_view line = Text::trim(raw);
        if (line.empty() || line.front() == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        map[std::string(Text::trim(line.substr(0, eq)))] = std::string(Text::trim(line.substr(eq + 1)));
    }
    return map;
}

std::string serialize(const Map& map) {
    std::string out;
    for (const auto& [k, v] : map) out += k + "=" + v + "\n";
    return out;
}

Result loadConfig(const std::string& path, bool lock, bool rw) {
    Result r;
    UniqueFd fd(
        ::open(path.c_str(), (rw ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        r.error_number = errno;
        r.error = FileUtils::describe_open_error(errno);
        return r;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        r.error_number = EINVAL;
        r.error = FileUtils::describe_open_error(EINVAL);
        return r;
    }
    if (lock) {
        r.lock = open_lock_file(path + LOCK_SUFFIX);
        if (!r.lock) {
            r.error_number = errno;
            r.error = fmt::format("its lock file “{}{}” cannot be used: {}", path, LOCK_SUFFIX,
                                  FileUtils::describe_open_error(errno));
            return r;
        }
        const double deadline = Time::monotonic_seconds_f() + g_lock_wait;
        for (;;) {
            if (::flock(r.lock.get(), (rw ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) break;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                r.error_number = errno;
                r.error = fmt::format("its lock cannot be taken: {}", std::strerror(errno));
                return r;
            }
            if (Time::monotonic_seconds_f() >= deadline) {
                r.error_number = EWOULDBLOCK;
                r.error = fmt::format("its lock “{}{}” was not free within {} seconds", path, LOCK_SUFFIX, g_lock_wait);
                return r;
            }
            Time::sleep_for(0.05);
        }
        r.locked = true;
    }
    auto text = FileUtils::read_all(fd.get(), 16 << 20);
    if (!text) {
        r.error_number = errno;
        r.error = FileUtils::describe_open_error(errno);
        return r;
    }
    std::vector<size_t> skipped;
    r.map = parse(*text, &skipped);
    for (size_t n : skipped)
        Debug::log_warn(fmt::format("Line {} of “{}” is not valid UTF-8; it is ignored.", n, path));
    if (rw) r.fh = std::move(fd);
    return r;
}

}  // namespace Vexlan::Config::LoadConfig
