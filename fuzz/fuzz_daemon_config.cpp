// Daemons' own configuration files, read for pidfiles and ports, and systemd unit names.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "Systemd/SystemdQueries.hpp"
#include "Services/DaemonConfig.hpp"

namespace Config = Vexlan::Services::DaemonConfig;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // The readers take a path: an anonymous file stands in for the configuration file.
    int fd = ::memfd_create("config", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (::write(fd, data, size) == static_cast<ssize_t>(size)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        auto words = Config::read_words(path, {}, "/nonexistent");
        (void)Config::last_value(words, "listen");
        auto assignments = Config::read_assignments(path);
        (void)Config::last_value(assignments, "port", {"mysqld"});
        (void)Config::read_shell_exports(path);
    }
    ::close(fd);
    (void)Config::port_of(text);
    (void)Config::expand_vars(text, {{"A", "x"}});
    (void)Vexlan::RestartSrv::Systemd::strip_unit_suffix(text);
    (void)Vexlan::RestartSrv::Systemd::normalize_unit_name(text);
    return 0;
}
