#include "Svcmond/Tiny.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Paths.hpp"
#include "Util/UniqueDir.hpp"

namespace Vexlan::Svcmond::Tiny {

namespace {
constexpr const char* kSuffix = ".suspended";

std::string dir() { return Paths::get(Paths::Key::SuspendDir); }

// The directory, made when missing; a symlink anywhere in it, or one another user may write
// to, is refused.
bool usable_dir() { return FileUtils::ensure_owned_directory(dir(), 0700); }

std::optional<time_t> read_expiry(const std::string& path) {
    auto text = FileUtils::read_regular_file(path, 64);
    if (!text) return std::nullopt;
    return Number::parse_trimmed<time_t>(*text, 0);
}
}  // namespace

std::string suspension_file(const std::string& service) {
    if (service.find('/') != std::string::npos)
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“" + service + "” is not a valid service name."}});
    return dir() + "/" + service + kSuffix;
}

std::optional<bool> suspend_service(const std::string& service, int delay, std::optional<time_t> now) {
    const std::string path = suspension_file(service);
    if (delay <= 0) delay = DEFAULT_SUSPENSION_DELAY;
    if (delay > MAX_SUSPENSION_DELAY) delay = MAX_SUSPENSION_DELAY;
    if (!usable_dir()) {
        Debug::log_warn(fmt::format("The system failed to create the directory “{}”: {}", dir(), std::strerror(errno)));
        return std::nullopt;
    }
    return FileUtils::replace_file(path, std::to_string(now.value_or(::time(nullptr)) + delay), 0600);
}

std::optional<int> is_service_suspended(const std::optional<std::map<std::string, time_t>>& suspensions, const std::string& service) {
    if (service.empty()) return std::nullopt;
    std::optional<time_t> expiry;
    if (suspensions) {
        if (auto it = suspensions->find(service); it != suspensions->end()) expiry = it->second;
    }
    if (!expiry) expiry = read_expiry(suspension_file(service));
    if (!expiry) return std::nullopt;
    return ::time(nullptr) < *expiry ? 1 : 0;
}

std::optional<std::map<std::string, time_t>> load_service_suspensions() {
    const UniqueDir d_stream = open_dir(dir());
    DIR* d = d_stream.get();
    if (!d) return std::nullopt;
    std::map<std::string, time_t> out;
    while (struct dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || !name.ends_with(kSuffix)) continue;
        if (auto expiry = read_expiry(dir() + "/" + name)) out[name.substr(0, name.size() - std::strlen(kSuffix))] = *expiry;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

bool resume_service(const std::string& service) { return ::unlink(suspension_file(service).c_str()) == 0; }

int Suspended::is_suspended() { return FileUtils::exists(Paths::get(Paths::Key::SuspendAllMarker)) ? 1 : 0; }

}  // namespace Vexlan::Svcmond::Tiny
