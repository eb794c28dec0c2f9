#pragma once
// Frees TCP ports: finds the processes listening on them and terminates them.
#include <sys/types.h>

#include <string>
#include <vector>

namespace Vexlan::Kill::AppPort {

inline bool VERBOSE = false;

struct Listener {
    pid_t pid;
    int port;
    std::string address;
};

struct Result {
    std::vector<pid_t> terminated;  // asked to end (and confirmed gone when `gone`)
    std::vector<pid_t> left_alone;  // this process, its ancestors or PID 1
    bool gone = false;
};

// Processes listening on the ports, on addresses other than the excluded ones.
std::vector<Listener> find_listeners(const std::vector<int>& ports, const std::vector<std::string>& exclude_ips = {});

// Terminates them through the TERM-then-KILL escalation; never signals this process, its
// ancestors or PID 1 (a socket-activated port is held by systemd itself).
Result kill_apps_on_ports(const std::vector<int>& ports, bool verbose = VERBOSE,
                          const std::vector<std::string>& exclude_ips = {}, double wait_time = 5);

// "0100007F:1F90" -> ("127.0.0.1", 8080); IPv6 addresses in their compressed form.
std::pair<std::string, int> decode_address(const std::string& hex);

}  // namespace Vexlan::Kill::AppPort
