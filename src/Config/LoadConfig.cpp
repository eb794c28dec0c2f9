#include "Config/LoadConfig.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "Output/Debug.hpp"
#include "Util/File.hpp"
#include "Util/Text.hpp"

namespace Vexlan::Config::LoadConfig {

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
        int rc;
        do {
            rc = ::flock(fd.get(), rw ? LOCK_EX : LOCK_SH);
        } while (rc != 0 && errno == EINTR);
        r.locked = rc == 0;
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
