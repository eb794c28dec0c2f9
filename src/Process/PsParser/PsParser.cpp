#include "Process/PsParser/PsParser.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <cstdlib>
#include <map>

#include "Exception/Exception.hpp"
#include "Process/ProcFs.hpp"
#include "Process/PsParser/SysInfo.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/UniqueDir.hpp"
#include "Util/UniqueFd.hpp"

namespace Vexlan::PsParser {

namespace {
bool g_read_proc = READ_PROC;

bool proc_readable() {
    return g_read_proc && ::access((ProcFs::proc_root() + "/self/stat").c_str(), R_OK) == 0;
}

// Reads a small file relative to a directory descriptor.
bool read_at(int dirfd, const char* name, std::string& out) {
    const UniqueFd fd(::openat(dirfd, name, O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool is_pid_name(const char* n) {
    if (*n < '0' || *n > '9') return false;
    for (const char* p = n; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

std::string cmdline_to_text(std::string raw) {
    for (auto& c : raw)
        if (c == '\0') c = ' ';
    while (!raw.empty() && std::isspace(static_cast<unsigned char>(raw.back()))) raw.pop_back();
    return raw;
}
}  // namespace

void set_read_proc_for_testing(bool on) { g_read_proc = on; }

std::vector<ProcessRecord> fast_parse_ps(const Options& o) {
    if (o.skip_stat && (o.exclude_kernel || o.cpu_stats || o.elapsed_stats || !o.skip_cmdline)) {
        if (o.exclude_kernel) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“skip_stat” cannot be combined with “exclude_kernel”."}});
        if (o.cpu_stats) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“skip_stat” cannot be combined with “cpu_stats”."}});
        if (o.elapsed_stats) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“skip_stat” cannot be combined with “elapsed_stats”."}});
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“skip_stat” requires “skip_cmdline”."}});
    }
    if (!proc_readable()) return parse_ps(o);
    std::optional<SysInfo> info;
    if (o.memory_stats || o.cpu_stats || o.elapsed_stats) info.emplace();

    std::vector<ProcessRecord> out;
    const UniqueDir dir_stream = open_dir(ProcFs::proc_root());
    DIR* dir = dir_stream.get();
    if (!dir) return out;
    const pid_t self = ::getpid();
    std::string buf;
    while (struct dirent* e = ::readdir(dir)) {
        if (!is_pid_name(e->d_name)) continue;
        auto parsed = Number::parse<pid_t>(e->d_name, 1);
        if (!parsed) continue;
        const pid_t pid = *parsed;
        if (o.exclude_self && pid == self) continue;
        if (o.want_pid && *o.want_pid != pid) continue;
        if (o.exclude_kernel && pid == 1) continue;
        const UniqueFd process_dir(::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!process_dir) continue;
        const int pfd = process_dir.get();
        struct stat st {};
        if (::fstat(pfd, &st) != 0 || (o.want_uid && *o.want_uid != st.st_uid)) continue;
        ProcessRecord r;
        r.pid = pid;
        r.uid = st.st_uid;
        if (st.st_uid == 0)
            r.user = SUPERUSER;
        else if (o.resolve_uids)
            r.user = ProcFs::user_name(st.st_uid);
        else
            r.user = std::to_string(st.st_uid);
        std::string cmd;
        if (!o.skip_cmdline && read_at(pfd, "cmdline", buf) && !buf.empty()) cmd = cmdline_to_text(buf);
        if (!o.skip_stat) {
            if (!read_at(pfd, "stat", buf)) continue;
            ProcFs::StatView stat;
            if (!ProcFs::parse_stat_view(buf, stat)) continue;
            if (o.exclude_kernel && ProcFs::is_kernel_thread(stat)) continue;
            r.state = stat.fields[0];
            r.ppid = static_cast<pid_t>(stat.field(1));
            r.nice = stat.count > 16 ? std::string(stat.fields[16]) : "";
            r.command = cmd.empty() ? "[" + std::string(stat.comm) + "]" : std::move(cmd);
            if (o.cpu_stats && info)
                r.cpu = info->cpu_percent(static_cast<unsigned long long>(stat.field(19)),
                                          static_cast<unsigned long long>(stat.field(11) + stat.field(12)));
            if (o.elapsed_stats && info) r.elapsed = info->elapsed_seconds(static_cast<unsigned long long>(stat.field(19)));
        }
        if (o.memory_stats && info && read_at(pfd, "statm", buf)) {
            std::istringstream in(buf);
            unsigned long long size = 0, resident = 0;
            in >> size >> resident;
            r.mem = info->memory_percent(resident);
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::optional<ProcessRecord> get_pid_info(pid_t pid) {
    Options o;
    o.want_pid = pid;
    auto list = fast_parse_ps(o);
    if (list.empty()) return std::nullopt;
    return list.front();
}

std::vector<pid_t> get_child_pids(const std::vector<pid_t>& ppids) {
    auto list = fast_parse_ps();
    std::map<pid_t, std::vector<pid_t>> children;
    for (const auto& r : list) children[r.ppid].push_back(r.pid);
    std::vector<pid_t> out;
    std::set<pid_t> seen;
    std::function<void(pid_t)> walk = [&](pid_t parent) {
        auto it = children.find(parent);
        if (it == children.end()) return;
        for (pid_t c : it->second)
            if (seen.insert(c).second) out.push_back(c);
        for (pid_t c : it->second) walk(c);
    };
    for (pid_t p : ppids) walk(p);
    return out;
}

}  // namespace Vexlan::PsParser

namespace Vexlan::Proc::Basename {

std::string getbasename(const std::string& name) {
    if (name.empty()) return "";
    size_t start = 0;
    while (start < name.size() && std::isspace(static_cast<unsigned char>(name[start]))) ++start;
    size_t end = start;
    while (end < name.size() && !std::isspace(static_cast<unsigned char>(name[end]))) ++end;
    std::string word = name.substr(start, end - start);
    if (!word.empty() && word[0] == '/') {
        auto slash = word.rfind('/');
        return word.substr(slash + 1);
    }
    return word;
}

}  // namespace Vexlan::Proc::Basename

namespace Vexlan::Proc::Bin {

std::string getbin(pid_t pid) {
    if (pid <= 0) return "";
    char buf[4096];
    for (const std::string& link : {ProcFs::pid_dir(pid) + "/exe", ProcFs::pid_dir(pid) + "/file"}) {
        ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
        if (n > 0) {
            // A program replaced on disk reads "<path> (deleted)"; a path may hold spaces.
            constexpr std::string_view kDeleted = " (deleted)";
            std::string target(buf, static_cast<size_t>(n));
            if (target.ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
            return target;
        }
    }
    return "";
}

}  // namespace Vexlan::Proc::Bin
