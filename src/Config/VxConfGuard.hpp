#pragma once
// The guarded reader of the panel's main configuration and its JSON cache. The cache is
// valid exactly when it was written one second after the configuration it mirrors.
#include <sys/types.h>

#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Config/LoadConfig.hpp"
#include "Util/UniqueFd.hpp"

namespace Vexlan::Config {

using ConfigMap = LoadConfig::Map;

class VxConfGuard {
public:
    struct Options {
        bool loadvxconf = false;         // a valid cache is enough: no file read, no lock
        std::optional<bool> use_lock;    // default: true for root
        bool no_validate = false;
    };
    explicit VxConfGuard(const Options& options);
    ~VxConfGuard();
    VxConfGuard(const VxConfGuard&) = delete;
    VxConfGuard& operator=(const VxConfGuard&) = delete;

    const std::optional<ConfigMap>& data() const { return data_; }
    const std::optional<ConfigMap>& cache() const { return cache_; }
    bool cache_is_valid() const { return cache_is_valid_; }
    bool is_missing() const { return is_missing_; }
    bool is_locked() const { return is_locked_; }
    bool rw() const { return rw_; }
    bool use_lock() const { return use_lock_; }
    // data, else cache, else an empty map.
    ConfigMap config_copy() const;
    void release_lock();

    // The cached configuration and whether the cache file is valid.
    static std::pair<std::optional<ConfigMap>, bool> get_cache();
    static void clearcache();
    // Valid exactly when both times are known and the cache is one second newer.
    static bool _cache_is_valid(std::optional<time_t> config_mtime = std::nullopt, std::optional<time_t> cache_mtime = std::nullopt);

    // Process-wide switches: a configuration held in memory only (tests, tools), and a
    // long-running daemon that skips the JSON cache.
    static void set_memory_only(std::optional<ConfigMap> map);
    static void set_is_daemon(bool on);

private:
    void load_vxconf_file();
    void update_cache();

    std::string path_;
    pid_t pid_;
    bool use_lock_ = false;
    bool loadvxconf_ = false;
    std::optional<ConfigMap> data_;
    std::optional<ConfigMap> cache_;
    bool cache_is_valid_ = false;
    bool is_missing_ = false;
    bool rw_ = false;
    UniqueFd fh_;
    UniqueFd lock_;  // the configuration lock (a root-only file beside it)
    bool is_locked_ = false;
};

}  // namespace Vexlan::Config
