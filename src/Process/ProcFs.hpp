#pragma once
// Small readers of one process's /proc entries.
#include <sys/types.h>

#include <optional>
#include <string_view>
#include <string>
#include <vector>

namespace Vexlan::ProcFs {

std::string proc_root();
std::string pid_dir(pid_t pid);

// The fields of /proc/<pid>/stat after the command name: index 0 is the state.
struct Stat {
    std::string comm;                 // the command name between the parentheses
    std::vector<std::string> fields;  // state, ppid, pgrp, ...
    char state() const { return fields.empty() ? '?' : fields[0][0]; }
    long field(size_t i) const;
};
// The same split without copying: views into the line, the first 20 fields after the name.
struct StatView {
    std::string_view comm;
    std::string_view fields[20];
    size_t count = 0;
    long field(size_t i) const;
};
bool parse_stat_view(std::string_view line, StatView& out);
// The kernel's own mark of its threads: PF_KTHREAD in the flags field of the stat line. Not
// a pid floor (in a container the daemons themselves have small pids) and not process group
// 0 (what `nsenter` or `lxc-attach` starts reads 0 inside a pid namespace).
inline constexpr unsigned long KERNEL_THREAD_FLAG = 0x00200000;
bool is_kernel_thread(const StatView& stat);
// False when the process cannot be read.
bool is_kernel_thread(pid_t pid);

// Splits a stat line at the last ")" followed by other characters.
std::optional<Stat> parse_stat(const std::string& line);
std::optional<Stat> read_stat(pid_t pid);

// Raw NUL-separated command line ("" for kernel threads and zombies).
std::optional<std::string> read_cmdline(pid_t pid);
std::optional<uid_t> owner_uid(pid_t pid);
// The control groups of a process (/proc/<pid>/cgroup).
std::optional<std::string> read_cgroup(pid_t pid);
// A zombie has exited: nothing but its parent's wait keeps its entry.
bool is_zombie(pid_t pid);
// Alive and not a zombie.
bool is_alive(pid_t pid);
// The start time in clock ticks since boot (field 22), the process's identity together
// with its pid.
std::optional<unsigned long long> start_time(pid_t pid);
// How long ago the process started, in seconds (to the clock tick).
std::optional<double> age_seconds(pid_t pid);
// When the process started, in seconds on the boot-time clock.
std::optional<double> started_at_boottime(pid_t pid);
std::optional<pid_t> parent_pid(pid_t pid);
// False when the process lives in another pid namespace than this program (a container's
// or a sandbox's processes, which /proc shows but which are not this system's services);
// true when it is this program's, or when that cannot be told.
bool in_own_pid_namespace(pid_t pid);
bool in_own_pid_namespace_at(int proc_pid_dirfd);
// Pids in /proc, in directory order.
std::vector<pid_t> list_pids();
// Login name of a uid, or empty.
std::string user_name(uid_t uid);
std::optional<uid_t> uid_of_user(const std::string& name);

}  // namespace Vexlan::ProcFs
