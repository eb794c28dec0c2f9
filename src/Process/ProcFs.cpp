#include "Process/ProcFs.hpp"

#include <time.h>

#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <map>

#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/Number.hpp"
#include "Util/Paths.hpp"
#include "Util/UniqueDir.hpp"

namespace Vexlan::ProcFs {

std::string proc_root() {
    return Paths::get(Paths::Key::ProcRoot);
}
std::string pid_dir(pid_t pid) {
    return proc_root() + "/" + std::to_string(pid);
}

long Stat::field(size_t i) const {
    if (i >= fields.size()) return 0;
    return Number::parse<long>(fields[i]).value_or(0);
}

std::optional<Stat> parse_stat(const std::string& line) {
    auto close = line.rfind(')');
    if (close == std::string::npos || close + 1 >= line.size()) return std::nullopt;
    Stat st;
    auto open = line.find('(');
    if (open != std::string::npos && open < close) st.comm = line.substr(open + 1, close - open - 1);
    std::string rest = line.substr(close + 1);
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && std::isspace(static_cast<unsigned char>(rest[i]))) ++i;
        size_t start = i;
        while (i < rest.size() && !std::isspace(static_cast<unsigned char>(rest[i]))) ++i;
        if (i > start) st.fields.push_back(rest.substr(start, i - start));
    }
    if (st.fields.empty()) return std::nullopt;
    return st;
}

long StatView::field(size_t i) const {
    if (i >= count) return 0;
    return Number::parse<long>(fields[i]).value_or(0);
}

bool parse_stat_view(std::string_view line, StatView& out) {
    auto close = line.rfind(')');
    if (close == std::string_view::npos || close + 1 >= line.size()) return false;
    auto open = line.find('(');
    out.comm = open != std::string_view::npos && open < close ? line.substr(open + 1, close - open - 1)
                                                              : std::string_view();
    out.count = 0;
    size_t i = close + 1;
    while (i < line.size() && out.count < 20) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) out.fields[out.count++] = line.substr(start, i - start);
    }
    return out.count > 0;
}

bool is_kernel_thread(const StatView& stat) {
    if (stat.count <= 6) return false;
    const auto flags = Number::parse<unsigned long>(stat.fields[6]);
    return flags && (*flags & KERNEL_THREAD_FLAG) != 0;
}

bool is_kernel_thread(pid_t pid) {
    auto line = FileUtils::read_file(pid_dir(pid) + "/stat");
    StatView view;
    return line && parse_stat_view(*line, view) && is_kernel_thread(view);
}

std::optional<Stat> read_stat(pid_t pid) {
    auto line = FileUtils::read_file(pid_dir(pid) + "/stat");
    if (!line) return std::nullopt;
    return parse_stat(*line);
}

std::optional<std::string> read_cmdline(pid_t pid) {
    return FileUtils::read_file(pid_dir(pid) + "/cmdline");
}
std::optional<std::string> read_cgroup(pid_t pid) {
    return FileUtils::read_file(pid_dir(pid) + "/cgroup");
}

std::optional<uid_t> owner_uid(pid_t pid) {
    ErrnoGuard keep;
    struct stat st {};
    if (::stat(pid_dir(pid).c_str(), &st) != 0) return std::nullopt;
    return st.st_uid;
}

bool is_zombie(pid_t pid) {
    auto st = read_stat(pid);
    return st && (st->state() == 'Z' || st->state() == 'X');
}

bool is_alive(pid_t pid) {
    ErrnoGuard keep;
    if (pid <= 0) return false;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    auto st = read_stat(pid);
    if (!st) return ::kill(pid, 0) == 0 || errno == EPERM;
    return st->state() != 'Z' && st->state() != 'X';
}

std::optional<unsigned long long> start_time(pid_t pid) {
    auto st = read_stat(pid);
    if (!st || st->fields.size() <= 19) return std::nullopt;
    return Number::parse<unsigned long long>(st->fields[19]);
}

std::optional<double> started_at_boottime(pid_t pid) {
    auto ticks = start_time(pid);
    if (!ticks) return std::nullopt;
    return static_cast<double>(*ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<double> age_seconds(pid_t pid) {
    auto started = started_at_boottime(pid);
    struct timespec now {};
    if (!started || ::clock_gettime(CLOCK_BOOTTIME, &now) != 0) return std::nullopt;
    const double age = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9 - *started;
    return age < 0 ? 0 : age;
}

std::optional<pid_t> parent_pid(pid_t pid) {
    auto st = read_stat(pid);
    if (!st || st->fields.size() < 2) return std::nullopt;
    return static_cast<pid_t>(st->field(1));
}

namespace {
std::optional<std::pair<dev_t, ino_t>> own_pid_namespace() {
    static const auto ns = []() -> std::optional<std::pair<dev_t, ino_t>> {
        struct stat st {};
        if (::stat("/proc/self/ns/pid", &st) != 0) return std::nullopt;
        return std::make_pair(st.st_dev, st.st_ino);
    }();
    return ns;
}
}  // namespace

bool in_own_pid_namespace_at(int dirfd) {
    auto own = own_pid_namespace();
    struct stat st {};
    if (!own || ::fstatat(dirfd, "ns/pid", &st, 0) != 0) return true;
    return st.st_dev == own->first && st.st_ino == own->second;
}

bool in_own_pid_namespace(pid_t pid) {
    auto own = own_pid_namespace();
    struct stat st {};
    if (!own || ::stat((pid_dir(pid) + "/ns/pid").c_str(), &st) != 0) return true;
    return st.st_dev == own->first && st.st_ino == own->second;
}

std::vector<pid_t> list_pids() {
    std::vector<pid_t> out;
    const UniqueDir dir_stream = open_dir(proc_root());
    DIR* dir = dir_stream.get();
    if (!dir) return out;
    while (struct dirent* e = ::readdir(dir)) {
        const char* n = e->d_name;
        if (*n < '0' || *n > '9') continue;
        if (auto pid = Number::parse<pid_t>(n, 1)) out.push_back(*pid);
    }
    return out;
}

std::string user_name(uid_t uid) {
    static std::map<uid_t, std::string> cache;
    if (auto it = cache.find(uid); it != cache.end()) return it->second;
    ErrnoGuard keep;
    struct passwd pw {};
    struct passwd* res = nullptr;
    char buf[4096];
    std::string name;
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &res) == 0 && res) name = pw.pw_name;
    return cache[uid] = name;
}

std::optional<uid_t> uid_of_user(const std::string& name) {
    ErrnoGuard keep;
    struct passwd pw {};
    struct passwd* res = nullptr;
    char buf[4096];
    if (::getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &res) == 0 && res) return pw.pw_uid;
    return std::nullopt;
}

}  // namespace Vexlan::ProcFs
