#include "Util/Number.hpp"

#include "Util/File.hpp"

namespace Vexlan::Number {

pid_t pid_max() {
    static const pid_t value = [] {
        auto text = FileUtils::read_first_line("/proc/sys/kernel/pid_max");
        auto n = text ? parse_trimmed<pid_t>(*text, 2) : std::nullopt;
        return n.value_or(4194304);
    }();
    return value;
}

std::optional<pid_t> parse_pid(std::string_view text) { return parse<pid_t>(text, 2, pid_max()); }

std::optional<pid_t> pid_from_pidfile_text(std::string_view content) {
    auto nl = content.find('\n');
    if (nl != std::string_view::npos) content = content.substr(0, nl);
    return parse_trimmed<pid_t>(content, 2, pid_max());
}

}  // namespace Vexlan::Number
