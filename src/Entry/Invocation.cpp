#include "Entry/Invocation.hpp"

#include "Util/Regex.hpp"

namespace scripts::restartsrv_base {

std::optional<Invocation> service_from_invocation(const std::string& path) {
    static const Vexlan::Regex kName(R"((?:^|/)(start|stop|restartsrv_)([\w\-]+)$)");
    auto m = kName.captures(path);
    if (!m) return std::nullopt;
    return Invocation{(*m)[1], (*m)[2]};
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
