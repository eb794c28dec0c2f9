#pragma once
// The process table, read straight from /proc.
#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "Util/Regex.hpp"

namespace Vexlan::PsParser {

inline constexpr int READ_PROC = 1;

struct ProcessRecord {
    pid_t pid = 0;
    std::string user;  // login name with resolve_uids (or uid 0), else the uid as text
    uid_t uid = 0;
    std::string nice;
    std::string state;
    pid_t ppid = 0;
    std::string command;
    std::optional<double> mem;
    std::optional<double> cpu;
    std::optional<double> elapsed;
};

struct Options {
    bool resolve_uids = false;
    bool memory_stats = false;
    bool cpu_stats = false;
    bool elapsed_stats = false;
    bool exclude_self = false;
    bool exclude_kernel = false;
    std::optional<pid_t> want_pid;
    std::optional<uid_t> want_uid;
    bool skip_cmdline = false;
    bool skip_stat = false;
};

// The superuser's name, reported for uid 0 without a look-up.
inline constexpr const char* SUPERUSER = "root";

std::vector<ProcessRecord> fast_parse_ps(const Options& options = {});
// The delegate used when /proc cannot be read: the same records from `ps`.
std::vector<ProcessRecord> parse_ps(const Options& options = {});
std::optional<ProcessRecord> get_pid_info(pid_t pid);
std::vector<pid_t> get_child_pids(const std::vector<pid_t>& ppids);

// A program name, a list of names, or a compiled pattern.
using NameSpec = std::variant<std::string, std::vector<std::string>, Regex>;
// Uids or login names.
using Owners = std::vector<std::string>;

// The words of a command line (NUL or blank separated), each reduced to its base name.
std::vector<std::string> split_words(const std::string& raw);
std::vector<pid_t> get_pids_by_name(const NameSpec& name,
                                    const std::optional<Owners>& allowed_owners = std::nullopt);
const Regex& get_known_interpreters_regex();
const std::vector<std::string>& known_interpreters();

// Test hook: force the fallback path.
void set_read_proc_for_testing(bool on);

}  // namespace Vexlan::PsParser

namespace Vexlan::Proc::Basename {
std::string getbasename(const std::string& name);
}

namespace Vexlan::Proc::Bin {
std::string getbin(pid_t pid);
}
