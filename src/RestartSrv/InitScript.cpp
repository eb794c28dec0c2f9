#include "RestartSrv/InitScript.hpp"

#include <fcntl.h>

#include <map>

#include "SafeRun/Object.hpp"
#include "Util/File.hpp"
#include "Util/Regex.hpp"
#include "Util/Text.hpp"

namespace Vexlan::RestartSrv {

namespace {
// "$NAME" and "${NAME}" replaced by known plain values; nothing when anything else remains
// (command substitutions, parameter operations, unknown variables).
std::optional<std::string> resolve(std::string value, const std::map<std::string, std::string>& vars) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        if (value.front() == '\'') return value.substr(1, value.size() - 2);
        value = value.substr(1, value.size() - 2);
    }
    if (value.find_first_of("`\"'\\") != std::string::npos || value.find("$(") != std::string::npos) return std::nullopt;
    static const Regex kRef(R"(\$(?:\{([A-Za-z_]\w*)\}|([A-Za-z_]\w*)))");
    std::string out;
    size_t at = 0;
    while (at < value.size()) {
        size_t dollar = value.find('$', at);
        if (dollar == std::string::npos) {
            out += value.substr(at);
            break;
        }
        out += value.substr(at, dollar - at);
        auto m = kRef.captures(std::string_view(value).substr(dollar));
        if (!m || (*m)[0].empty() || value.compare(dollar, (*m)[0].size(), (*m)[0]) != 0) return std::nullopt;
        const std::string name = (*m)[1].empty() ? (*m)[2] : (*m)[1];
        auto it = vars.find(name);
        if (it == vars.end()) return std::nullopt;
        out += it->second;
        at = dollar + (*m)[0].size();
    }
    return out;
}

// A user name as useradd allows it, without the group a "user:group" adds.
std::optional<std::string> user_name(std::optional<std::string> value) {
    if (!value) return std::nullopt;
    static const Regex kUser(R"(^([a-z_][a-z0-9_-]{0,31})(?::[a-z_][a-z0-9_-]*)?$)");
    auto m = kUser.captures(*value);
    if (!m) return std::nullopt;
    return (*m)[1];
}

bool absolute_path(const std::optional<std::string>& v) { return v && v->size() > 1 && v->front() == '/' && v->find(' ') == std::string::npos; }
}  // namespace

InitScriptFacts parse_init_script(const std::string& text) {
    static const Regex kAssign(R"((?:^|[;&|]\s*|\b(?:then|else|do)\s+)(?:export\s+|local\s+|readonly\s+)?([A-Za-z_]\w*)=("[^"]*"|'[^']*'|[^\s;&|)]+))");
    static const Regex kPidOption(R"((?:--pidfile[= ]|\s-p\s+)("[^"]*"|'[^']*'|[^\s;&|)]+))");
    // start-stop-daemon's own options only: "-c" and "-u" mean other things to other commands.
    static const Regex kChuid(R"(--chuid[= ]("[^"]*"|'[^']*'|[^\s;&|)]+))");
    static const Regex kShortUser(R"(\bstart-stop-daemon\b.*\s(?:-c|-u|--user[= ]?)\s*("[^"]*"|'[^']*'|[^\s;&|)]+))");
    static const Regex kHeader(R"(^#\s*pidfile:\s*(\S+))");
    static const Regex kStatusCase(R"((?:^|[\s|(])status\s*[|)])");
    std::map<std::string, std::string> vars;
    InitScriptFacts facts;
    for (const auto& raw : Text::lines(text)) {
        std::string_view line = Text::trim(raw);
        if (line.empty()) continue;
        if (line.front() == '#') {
            if (auto m = kHeader.captures(line); m && !facts.pidfile) facts.pidfile = (*m)[1];
            continue;
        }
        if (kStatusCase.match(line)) facts.has_status_action = true;
        if (auto m = kAssign.captures(line)) {
            const std::string& name = (*m)[1];
            auto value = resolve((*m)[2], vars);
            if (value) vars[name] = *value;
            else vars.erase(name);
            if (name == "DAEMON" && absolute_path(value)) facts.daemon = value;
            if ((name == "PIDFILE" || name == "PID" || name == "PID_FILE") && absolute_path(value) && !facts.pidfile)
                facts.pidfile = value;
        }
        if (!facts.user) {
            // What follows "--" are the daemon's own arguments.
            const std::string_view options = line.substr(0, line.find(" -- "));
            auto m = kChuid.captures(options);
            if (!m) m = kShortUser.captures(options);
            if (m) facts.user = user_name(resolve((*m)[1], vars));
        }
        if (auto m = kPidOption.captures(line); m && !facts.pidfile) {
            auto value = resolve((*m)[1], vars);
            if (absolute_path(value)) facts.pidfile = value;
        }
    }
    return facts;
}

std::optional<int> init_script_status(const std::string& script, bool* timed_out) {
    if (timed_out) *timed_out = false;
    if (!read_init_script_facts(script).has_status_action) return std::nullopt;
    UniqueFd null_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    SafeRun::Options o;
    o.program = script;
    o.args = {"status"};
    o.stdout_handle = SafeRun::OutputHandle{SafeRun::Fd{null_fd.get()}};
    o.stderr_handle = o.stdout_handle;
    o.keep_env = true;
    o.new_session = true;
    o.timeout = INIT_SCRIPT_STATUS_TIMEOUT;
    SafeRun::Object run(std::move(o));
    if (timed_out) *timed_out = run.timed_out().has_value();
    if (run.timed_out() || run.exec_failed() || run.signal_code().value_or(0) != 0) return std::nullopt;
    auto code = run.error_code().value_or(0);
    if (code != 0 && code != 3) return std::nullopt;
    return code;
}

InitScriptFacts read_init_script_facts(const std::string& script) {
    auto text = FileUtils::read_regular_file(script, 256 * 1024);
    return text ? parse_init_script(*text) : InitScriptFacts{};
}

}  // namespace Vexlan::RestartSrv
