#include "Process/Kill/AppPort.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "Process/Kill/Kill.hpp"
#include "Output/Debug.hpp"
#include "Process/ProcFs.hpp"
#include "Process/ProcessInfo/ProcessInfo.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/UniqueDir.hpp"

namespace Vexlan::Kill::AppPort {

std::pair<std::string, int> decode_address(const std::string& hex) {
    auto colon = hex.find(':');
    if (colon == std::string::npos) return {"", 0};
    std::string addr = hex.substr(0, colon);
    int port = Number::parse<int>(std::string_view(hex).substr(colon + 1), 0, 65535, 16).value_or(0);
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.size() == 8) {
        uint32_t v = Number::parse<uint32_t>(addr, 0, UINT32_MAX, 16).value_or(0);
        struct in_addr in {};
        in.s_addr = v;  // the kernel prints the address in host byte order of the raw word
        ::inet_ntop(AF_INET, &in, text, sizeof text);
    } else if (addr.size() == 32) {
        struct in6_addr in6 {};
        for (int word = 0; word < 4; ++word) {
            uint32_t v =
                Number::parse<uint32_t>(std::string_view(addr).substr(static_cast<size_t>(word) * 8, 8), 0, UINT32_MAX, 16).value_or(0);
            std::memcpy(&in6.s6_addr[word * 4], &v, 4);
        }
        ::inet_ntop(AF_INET6, &in6, text, sizeof text);
    }
    return {text, port};
}

namespace {
// Socket inode -> (address, port) of listening sockets on the wanted ports.
std::map<std::string, std::pair<std::string, int>> listening_inodes(const std::set<int>& ports,
                                                                    const std::set<std::string>& exclude) {
    std::map<std::string, std::pair<std::string, int>> out;
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        auto text = FileUtils::read_file(ProcFs::proc_root() + table);
        if (!text) continue;
        std::istringstream lines(*text);
        std::string line;
        std::getline(lines, line);  // header
        while (std::getline(lines, line)) {
            std::istringstream in(line);
            std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
            if (!(in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode)) continue;
            if (state != "0A") continue;  // LISTEN
            auto [addr, port] = decode_address(local);
            if (!ports.count(port) || exclude.count(addr)) continue;
            out[inode] = {addr, port};
        }
    }
    return out;
}
}  // namespace

std::vector<Listener> find_listeners(const std::vector<int>& ports, const std::vector<std::string>& exclude_ips) {
    auto inodes = listening_inodes({ports.begin(), ports.end()}, {exclude_ips.begin(), exclude_ips.end()});
    std::vector<Listener> out;
    if (inodes.empty()) return out;
    char link[256];
    for (pid_t pid : ProcFs::list_pids()) {
        std::string fd_dir = ProcFs::pid_dir(pid) + "/fd";
        const UniqueDir dir_stream = open_dir(fd_dir);
    DIR* dir = dir_stream.get();
        if (!dir) continue;
        std::set<int> seen_ports;
        while (struct dirent* e = ::readdir(dir)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
            ssize_t n = ::readlinkat(::dirfd(dir), e->d_name, link, sizeof link - 1);
            if (n <= 8) continue;
            std::string target(link, static_cast<size_t>(n));
            if (!target.starts_with("socket:[")) continue;
            auto it = inodes.find(target.substr(8, target.size() - 9));
            if (it != inodes.end() && seen_ports.insert(it->second.second).second)
                out.push_back({pid, it->second.second, it->second.first});
        }
    }
    return out;
}

Result kill_apps_on_ports(const std::vector<int>& ports, bool verbose, const std::vector<std::string>& exclude_ips,
                          double wait_time) {
    Result result;
    auto lineage = ProcessInfo::get_pid_lineage();
    std::set<pid_t> protect(lineage.begin(), lineage.end());
    protect.insert(1);
    std::set<pid_t> doomed;
    for (const auto& l : find_listeners(ports, exclude_ips)) {
        if (protect.count(l.pid)) {
            if (std::find(result.left_alone.begin(), result.left_alone.end(), l.pid) == result.left_alone.end()) {
                result.left_alone.push_back(l.pid);
                Debug::log_info(fmt::format("Process {} listens on port {} but is this program, one of its parents or PID 1; "
                                            "it was left alone.", l.pid, l.port));
            }
            continue;
        }
        doomed.insert(l.pid);
    }
    result.terminated.assign(doomed.begin(), doomed.end());
    if (!result.terminated.empty())
        result.gone = escalate(identify(result.terminated), verbose, wait_time, "the programs on the service's ports") == 1;
    return result;
}

}  // namespace Vexlan::Kill::AppPort
