#include "Services/DaemonConfig.hpp"

#include <fcntl.h>
#include <glob.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "SafeRun/Object.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Text.hpp"
#include "Util/UniqueFd.hpp"

namespace Vexlan::Services::DaemonConfig {

namespace {
// Deeper nesting than any distribution ships is a loop.
constexpr int kMaxDepth = 8;
constexpr size_t kMaxFiles = 500;
constexpr size_t kMaxBytes = 4 << 20;
constexpr double kToolTimeout = 10;

using Text::lower;

// Keys compare without case, and "pid-file" is "pid_file".
std::string key_form(const std::string& key) {
    std::string out = lower(key);
    std::replace(out.begin(), out.end(), '-', '_');
    return out;
}

std::string dirname_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string resolve(const std::string& path, const std::string& base) {
    if (path.empty() || path.front() == '/') return path;
    return base + "/" + path;
}

std::vector<std::string> expand(const std::string& pattern) {
    std::vector<std::string> out;
    glob_t g{};
    if (::glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; ++i) out.emplace_back(g.gl_pathv[i]);
    ::globfree(&g);
    std::sort(out.begin(), out.end());
    return out;
}

std::string unquote(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// Tokens of a "key value ...;" file: directives end at a newline, ';', '{' or '}'.
std::vector<std::vector<std::string>> word_statements(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    std::vector<std::string> current;
    std::string word;
    bool in_word = false;
    auto end_word = [&] {
        if (in_word) current.push_back(word);
        word.clear();
        in_word = false;
    };
    auto end_statement = [&] {
        end_word();
        if (!current.empty()) out.push_back(std::move(current));
        current.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
            end_word();
            ++i;
        } else if (c == '"' || c == '\'') {
            // A quoted word; a backslash keeps the next character, quote included.
            size_t j = i + 1;
            for (; j < text.size() && text[j] != c; ++j) {
                if (text[j] == '\\' && j + 1 < text.size()) ++j;
                word += text[j];
            }
            in_word = true;
            i = j;
        } else if (c == '{' && in_word && !word.empty() && word.back() == '$') {
            // "${NAME}" is one word, not the start of a block.
            const auto close = text.find('}', i);
            const auto stop = close == std::string::npos ? text.size() - 1 : close;
            word += text.substr(i, stop - i + 1);
            i = stop;
        } else if (!in_word && (c == '#' || (c == '/' && i + 1 < text.size() && text[i + 1] == '/'))) {
            while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
        } else if (!in_word && c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const auto close = text.find("*/", i + 2);
            i = close == std::string::npos ? text.size() : close + 1;
        } else if (c == '\n' || c == ';' || c == '{' || c == '}') {
            end_statement();
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            end_word();
        } else {
            word += c;
            in_word = true;
        }
    }
    end_statement();
    return out;
}

struct Reader {
    std::vector<Directive> out;
    size_t files = 0;

    bool enter(const std::string& path, int depth, std::string& text) {
        if (depth > kMaxDepth || ++files > kMaxFiles) return false;
        auto content = read_config_file(path);
        if (!content) return false;
        text = std::move(*content);
        return true;
    }

    void words(const std::string& path, const std::vector<std::string>& include_keys, const std::string& base,
               int depth) {
        std::string text;
        if (!enter(path, depth, text)) return;
        for (auto& statement : word_statements(text)) {
            Directive d{"", statement.front(), {statement.begin() + 1, statement.end()}};
            const std::string key = lower(d.key);
            if (std::find(include_keys.begin(), include_keys.end(), key) != include_keys.end()) {
                for (const auto& arg : d.args)
                    for (const auto& file : expand(resolve(arg, base)))
                        words(file, include_keys, base, depth + 1);
                continue;
            }
            out.push_back(std::move(d));
        }
    }

    void assignments(const std::string& path, int depth, const std::string& section_in) {
        std::string text;
        if (!enter(path, depth, text)) return;
        std::string section = section_in;
        size_t pos = 0;
        while (pos <= text.size()) {
            auto nl = text.find('\n', pos);
            std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
            pos = nl == std::string::npos ? text.size() + 1 : nl + 1;
            line = trim(line);
            if (line.empty() || line[0] == '#' || line[0] == ';') continue;
            if (line[0] == '[') {
                auto close = line.find(']');
                if (close != std::string::npos) section = lower(trim(line.substr(1, close - 1)));
                continue;
            }
            if (line.starts_with("!includedir")) {
                const std::string dir = resolve(trim(line.substr(11)), dirname_of(path));
                for (const auto& file : expand(dir + "/*.cnf")) assignments(file, depth + 1, section);
                continue;
            }
            if (line.starts_with("!include")) {
                assignments(resolve(trim(line.substr(8)), dirname_of(path)), depth + 1, section);
                continue;
            }
            auto [key, value] = split_assignment(line);
            if (key.empty()) continue;
            const std::string k = key_form(key);
            if (k == "include" || k == "include_if_exists") {
                assignments(resolve(value, dirname_of(path)), depth + 1, section);
                continue;
            }
            if (k == "include_dir") {
                for (const auto& file : expand(resolve(value, dirname_of(path)) + "/*.conf"))
                    assignments(file, depth + 1, section);
                continue;
            }
            out.push_back({section, key, {value}});
        }
    }

    static std::string trim(const std::string& s) {
        size_t a = 0, b = s.size();
        while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
        while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
        return s.substr(a, b - a);
    }

    // "key = value # note", "key value", "flag": the key and the value without quotes.
    static std::pair<std::string, std::string> split_assignment(const std::string& line) {
        size_t k = 0;
        while (k < line.size() && !std::isspace(static_cast<unsigned char>(line[k])) && line[k] != '=') ++k;
        std::string key = line.substr(0, k);
        std::string rest = trim(line.substr(k));
        if (!rest.empty() && rest[0] == '=') rest = trim(rest.substr(1));
        std::string value;
        if (!rest.empty() && (rest[0] == '\'' || rest[0] == '"')) {
            auto close = rest.find(rest[0], 1);
            value = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        } else {
            auto hash = rest.find('#');
            value = trim(rest.substr(0, hash));
        }
        return {key, value};
    }
};
}  // namespace

std::vector<std::string> matching_paths(const std::string& pattern) {
    return expand(pattern);
}

std::optional<std::string> tool_output(const std::string& program, const std::vector<std::string>& args) {
    if (!FileUtils::is_executable_file(program)) return std::nullopt;
    SafeRun::Options o;
    o.program = program;
    o.args = args;
    o.timeout = kToolTimeout;
    try {
        SafeRun::Object run(std::move(o));
        if (run.timed_out() || run.CHILD_ERROR().value_or(-1) != 0) return std::nullopt;
        return run.stdout_text();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> read_config_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileUtils::read_all(fd.get(), kMaxBytes);
}

std::vector<Directive> read_words(const std::string& path, const std::vector<std::string>& include_keys,
                                  const std::string& base_dir) {
    std::vector<std::string> keys;
    for (const auto& k : include_keys) keys.push_back(lower(k));
    Reader reader;
    reader.words(path, keys, base_dir, 0);
    return std::move(reader.out);
}

std::vector<Directive> read_assignments(const std::string& path) {
    Reader reader;
    reader.assignments(path, 0, "");
    return std::move(reader.out);
}

std::vector<Directive> all(const std::vector<Directive>& directives, const std::string& key) {
    std::vector<Directive> out;
    const std::string k = key_form(key);
    for (const auto& d : directives)
        if (key_form(d.key) == k) out.push_back(d);
    return out;
}

std::optional<std::string> last_value(const std::vector<Directive>& directives, const std::string& key,
                                      const std::vector<std::string>& sections) {
    std::optional<std::string> found;
    for (const auto& d : all(directives, key)) {
        if (!sections.empty() && std::find(sections.begin(), sections.end(), d.section) == sections.end())
            continue;
        if (!d.args.empty()) found = unquote(d.args.front());
    }
    return found;
}

std::optional<std::string> first_value(const std::vector<Directive>& directives, const std::string& key) {
    for (const auto& d : all(directives, key))
        if (!d.args.empty()) return unquote(d.args.front());
    return std::nullopt;
}

std::optional<int> port_of(const std::string& address) {
    if (address.empty() || address.starts_with("unix:") || address.front() == '/') return std::nullopt;
    std::string port = address;
    if (auto close = address.rfind(']'); close != std::string::npos) {
        port = close + 1 < address.size() && address[close + 1] == ':' ? address.substr(close + 2) : "";
    } else if (auto colon = address.rfind(':'); colon != std::string::npos) {
        port = address.substr(colon + 1);
    }
    if (auto n = Number::parse<int>(port, 1, 65535)) return *n;
    if (port.empty() || port.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos)
        return std::nullopt;
    // getservbyname reads /etc/services; a name it does not know is no port.
    if (const servent* s = ::getservbyname(port.c_str(), "tcp"))
        return ntohs(static_cast<uint16_t>(s->s_port));
    return std::nullopt;
}

void add_port(std::vector<int>& ports, std::optional<int> port) {
    if (port && std::find(ports.begin(), ports.end(), *port) == ports.end()) ports.push_back(*port);
}

std::string expand_vars(const std::string& text,
                        const std::vector<std::pair<std::string, std::string>>& vars) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '$' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        std::string name;
        size_t end = i + 1;
        if (text[end] == '{') {
            auto close = text.find('}', end);
            if (close == std::string::npos) {
                out += text.substr(i);
                break;
            }
            name = text.substr(end + 1, close - end - 1);
            end = close + 1;
        } else {
            while (end < text.size() &&
                   (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
                ++end;
            name = text.substr(i + 1, end - i - 1);
        }
        if (name.empty()) {
            out += '$';
            continue;
        }
        for (auto it = vars.rbegin(); it != vars.rend(); ++it)
            if (it->first == name) {
                out += it->second;
                break;
            }
        i = end - 1;
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> read_shell_exports(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> vars;
    auto text = read_config_file(path);
    if (!text) return vars;
    for (const auto& statement : word_statements(*text)) {
        size_t i = statement.front() == "export" ? 1 : 0;
        for (; i < statement.size(); ++i) {
            auto eq = statement[i].find('=');
            if (eq == std::string::npos || eq == 0) break;
            vars.emplace_back(statement[i].substr(0, eq), expand_vars(statement[i].substr(eq + 1), vars));
        }
    }
    return vars;
}

}  // namespace Vexlan::Services::DaemonConfig
