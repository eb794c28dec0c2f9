#include "Server/Type/Type.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "Exception/Exception.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::Server::Type {

namespace {
std::optional<int> g_dnsonly_mode;
}

void set_dnsonly_mode(std::optional<int> mode) { g_dnsonly_mode = mode; }

int is_dnsonly() {
    if (g_dnsonly_mode) return *g_dnsonly_mode;
    const std::string marker = Paths::get(Paths::Key::DnsOnlyMarker);
    struct stat st {};
    if (::stat(marker.c_str(), &st) == 0) return 1;
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    throw Exception::create(Exception::Kinds::IO::FileOpenError, {{"path", marker}, {"mode", "stat"}, {"error", errno}});
}

}  // namespace Vexlan::Server::Type
