#include "Entry/Invocation.hpp"

#include <algorithm>
#include <string_view>

namespace scripts::restartsrv_base {

std::optional<Invocation> service_from_invocation(const std::string& path) {
    // Every run reads its own name, so this is plain string work: compiling a pattern for
    // it cost more than the rest of the parsing put together.
    const std::string_view base = std::string_view(path).substr(path.rfind('/') + 1);
    for (std::string_view action : {"start", "stop", "restartsrv_"}) {
        if (!base.starts_with(action)) continue;
        const std::string_view service = base.substr(action.size());
        const bool word = !service.empty() && std::all_of(service.begin(), service.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        });
        if (!word) return std::nullopt;
        return Invocation{std::string(action), std::string(service)};
    }
    return std::nullopt;
}

std::string normalize_command_line(const std::string& raw) {
    std::string line = raw.substr(0, raw.find('\n'));
    std::string out;
    bool in_run = false;
    for (unsigned char c : line) {
        if (c < '!' || c > '~') {
            if (!in_run) out += ' ';
            in_run = true;
            continue;
        }
        in_run = false;
        out += c == '"' ? '\'' : static_cast<char>(c);
    }
    auto first = out.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

}  // namespace scripts::restartsrv_base
