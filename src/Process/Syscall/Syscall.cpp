#include "Process/Syscall/Syscall.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "Exception/Exception.hpp"
#include "Util/Number.hpp"

namespace Vexlan::Syscall {

namespace {
const std::map<std::string, long>& table() {
    static const std::map<std::string, long> kCalls = {
        {"getrlimit", SYS_getrlimit},   {"setrlimit", SYS_setrlimit},       {"prlimit64", SYS_prlimit64},
        {"getpriority", SYS_getpriority}, {"setpriority", SYS_setpriority}, {"ioprio_get", SYS_ioprio_get},
        {"ioprio_set", SYS_ioprio_set}, {"getpid", SYS_getpid},             {"getppid", SYS_getppid},
        {"kill", SYS_kill},             {"getuid", SYS_getuid},             {"geteuid", SYS_geteuid},
        {"getgid", SYS_getgid},         {"getegid", SYS_getegid},           {"setsid", SYS_setsid},
        {"setpgid", SYS_setpgid},       {"sched_getscheduler", SYS_sched_getscheduler},
        {"sched_setscheduler", SYS_sched_setscheduler}, {"umask", SYS_umask},
    };
    return kCalls;
}
}  // namespace

long name_to_number(const std::string& name) {
    auto it = table().find(name);
    if (it == table().end())
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“" + name + "” is not a known system call."}});
    return it->second;
}

long syscall(const std::string& name, const std::vector<uintptr_t>& args) {
    const long number = name_to_number(name);
    uintptr_t a[6] = {};
    for (size_t i = 0; i < args.size() && i < 6; ++i) a[i] = args[i];
    long rc = ::syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (rc == -1) {
        const int err = errno;
        nlohmann::json list = nlohmann::json::array();
        for (auto v : args) list.push_back(v);
        throw Exception::create(Exception::Kinds::SystemCall, {{"name", name}, {"error", err}, {"args", list}});
    }
    return rc;
}

}  // namespace Vexlan::Syscall

namespace Vexlan::Sys::Rlimit {

const std::vector<std::pair<std::string, int>>& RLIMITS() {
    static const std::vector<std::pair<std::string, int>> kResources = {
        {"CPU", 0},     {"FSIZE", 1}, {"DATA", 2},     {"STACK", 3},       {"CORE", 4},      {"RSS", 5},
        {"NPROC", 6},   {"NOFILE", 7}, {"MEMLOCK", 8}, {"AS", 9},          {"LOCKS", 10},    {"SIGPENDING", 11},
        {"MSGQUEUE", 12}, {"NICE", 13}, {"RTPRIO", 14}, {"RTTIME", 15}};
    return kResources;
}

int resource_number(const std::string& resource) {
    if (auto n = Number::parse<int>(resource, 0, 15)) return *n;
    for (const auto& [name, number] : RLIMITS())
        if (name == resource) return number;
    throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“" + resource + "” is not a resource limit."}});
}

std::pair<uint64_t, uint64_t> getrlimit(const std::string& resource) {
    uint64_t record[2] = {0, 0};  // rlim_cur, rlim_max
    Syscall::syscall("getrlimit", {static_cast<uintptr_t>(resource_number(resource)), reinterpret_cast<uintptr_t>(record)});
    return {record[0], record[1]};
}

int setrlimit(const std::string& resource, uint64_t soft, uint64_t hard) {
    uint64_t record[2] = {soft, hard};
    Syscall::syscall("setrlimit", {static_cast<uintptr_t>(resource_number(resource)), reinterpret_cast<uintptr_t>(record)});
    return 1;
}

}  // namespace Vexlan::Sys::Rlimit
