#include "Config/VxConfGuard.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Time.hpp"

namespace Vexlan::Config {

namespace {
std::optional<ConfigMap> g_mem_cache;
time_t g_mem_cache_mtime = 0;
std::optional<ConfigMap> g_memory_only;
bool g_in_load = false;
bool g_is_daemon = false;

std::string config_path() {
    return Paths::get(Paths::Key::MainConfig);
}
std::string cache_path() {
    return Paths::get(Paths::Key::MainConfigCache);
}

void trace(const std::string& text) {
    if (Debug::debug_level() >= 5) Debug::log_info(text);
}

// The cache file as a map; nothing when it is unreadable, not JSON, or not a flat object.
std::optional<ConfigMap> read_cache_file() {
    auto text = FileUtils::read_regular_file(cache_path(), 16 << 20);
    if (!text) return std::nullopt;
    return LoadConfig::parse_cache(*text);
}
}  // namespace

void VxConfGuard::set_memory_only(std::optional<ConfigMap> map) {
    g_memory_only = std::move(map);
}
void VxConfGuard::set_is_daemon(bool on) {
    g_is_daemon = on;
}

void VxConfGuard::clearcache() {
    g_mem_cache_mtime = 0;
    g_mem_cache.reset();
}

bool VxConfGuard::_cache_is_valid(std::optional<time_t> config_mtime, std::optional<time_t> cache_mtime) {
    const time_t conf = config_mtime.value_or(FileUtils::mtime(config_path()));
    const time_t cache = cache_mtime.value_or(FileUtils::mtime(cache_path()));
    return conf != 0 && cache != 0 && cache == conf + 1;
}

std::pair<std::optional<ConfigMap>, bool> VxConfGuard::get_cache() {
    const time_t conf_mtime = FileUtils::mtime(config_path());
    trace(fmt::format("configuration cache: configuration time {}", conf_mtime));
    if (g_mem_cache && conf_mtime != 0 && conf_mtime == g_mem_cache_mtime) return {g_mem_cache, true};
    clearcache();
    if (g_is_daemon || !FileUtils::exists(cache_path())) return {std::nullopt, false};
    // Others may rewrite the cache while it is read: read until its time stands still.
    time_t before = FileUtils::mtime(cache_path());
    time_t after = 0;
    std::optional<ConfigMap> parsed;
    for (int round = 0; after != before && round < 10; ++round) {
        if (after != 0) before = after;
        if (before == ::time(nullptr)) Time::sleep_for(1);  // it may still be written this second
        parsed = read_cache_file();
        after = FileUtils::mtime(cache_path());
        if (after != before) Time::sleep_for(1);
    }
    if (!parsed || parsed->empty()) return {std::nullopt, false};
    if (_cache_is_valid(conf_mtime, after)) {
        g_mem_cache = parsed;
        g_mem_cache_mtime = conf_mtime;
        return {parsed, true};
    }
    return {parsed, false};
}

VxConfGuard::VxConfGuard(const Options& options)
    : path_(config_path()),
      pid_(::getpid()),
      use_lock_(options.use_lock.value_or(::geteuid() == 0)),
      loadvxconf_(options.loadvxconf) {
    if (g_memory_only) {
        data_ = *g_memory_only;
        return;
    }
    std::tie(cache_, cache_is_valid_) = get_cache();
    if (loadvxconf_ && cache_is_valid_) return;
    load_vxconf_file();
    if (g_is_daemon || options.no_validate || !use_lock_) return;
    // The least of the write path: a configuration read afresh refreshes its cache.
    if (data_ && !cache_is_valid_) update_cache();
}

VxConfGuard::~VxConfGuard() {
    if (::geteuid() != 0 || g_memory_only || !is_locked_) return;
    release_lock();
}

ConfigMap VxConfGuard::config_copy() const {
    if (data_) return *data_;
    if (cache_) return *cache_;
    return {};
}

void VxConfGuard::load_vxconf_file() {
    if (g_in_load)
        throw Exception::create(Exception::Kinds::ConfigLoad,
                                {{"path", path_}, {"error", "the configuration is already being loaded"}});
    g_in_load = true;
    struct Done {
        ~Done() { g_in_load = false; }
    } done;
    is_missing_ = !FileUtils::exists(path_);
    if (is_missing_ && !use_lock_) return;
    if (is_missing_) {
        // Root makes the missing file, empty, so that the panel finds one next time.
        FileUtils::ensure_owned_directory(path_.substr(0, path_.rfind('/')), 0755);
        UniqueFd created = FileUtils::sysopen_with_real_perms(path_, O_WRONLY | O_CREAT, 0644);
        if (created) [[maybe_unused]]
            int rc = ::fchown(created.get(), 0, 0);
    }
    rw_ = use_lock_ && !cache_is_valid_;
    auto result = LoadConfig::loadConfig(path_, use_lock_, rw_);
    if (!result.map && !result.fh && result.error_number != ENOENT)
        throw Exception::create(
            Exception::Kinds::ConfigLoad,
            {{"path", path_}, {"error", result.error.empty() ? std::string("unknown error") : result.error}});
    fh_ = std::move(result.fh);
    lock_ = std::move(result.lock);
    is_locked_ = result.locked;
    data_ = std::move(result.map);
    if (use_lock_ && rw_ && !is_locked_)
        Debug::log_warn(fmt::format("The configuration file “{}” was not locked.", path_));
    if (!g_mem_cache && data_) g_mem_cache = *data_;
}

void VxConfGuard::update_cache() {
    if (!data_ || ::geteuid() != 0) return;
    const time_t conf_mtime = FileUtils::mtime(path_);
    if (conf_mtime == 0) return;
    struct stat st {};
    const mode_t mode = ::stat(path_.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0600;
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [k, v] : *data_) json[k] = v;
    if (!FileUtils::replace_file(cache_path(), json.dump(), mode)) {
        Debug::log_warn(fmt::format("The system failed to write the configuration cache “{}”: {}",
                                    cache_path(), std::strerror(errno)));
        return;
    }
    // The cache is valid exactly one second after the configuration it mirrors.
    struct timespec times[2] = {{conf_mtime + 1, 0}, {conf_mtime + 1, 0}};
    ::utimensat(AT_FDCWD, cache_path().c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void VxConfGuard::release_lock() {
    if (!use_lock_ || pid_ != ::getpid() || !is_locked_) return;
    update_cache();
    fh_.reset();
    lock_.reset();  // closing the lock file drops the lock
    is_locked_ = false;
}

}  // namespace Vexlan::Config
