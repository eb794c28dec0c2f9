// Finding a service's processes by program name.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "Process/ProcFs.hpp"
#include "Process/PsParser/PsParser.hpp"
#include "Util/Number.hpp"
#include "Util/UniqueDir.hpp"

namespace Vexlan::PsParser {

namespace {
bool g_proc_for_names = true;

bool proc_matches_regex(const Regex& pattern, std::string program, const std::vector<std::string>& words,
                        const std::string* name, const std::string& file) {
    const Regex& interpreters = get_known_interpreters_regex();
    if (program.starts_with("-")) program.erase(0, 1);
    if (program.ends_with(":")) program.pop_back();
    const bool script_runner = interpreters.match(program);
    size_t first = 1;
    if (script_runner)
        while (first < words.size() && words[first].starts_with("-")) ++first;
    if (name && !file.empty() && file == *name) return true;
    if (pattern.match(program)) return true;
    return script_runner && first < words.size() && pattern.match(words[first]);
}

std::set<uid_t> resolve_owners(const Owners& owners) {
    std::set<uid_t> out;
    for (const auto& o : owners) {
        if (auto n = Number::parse<uid_t>(o))
            out.insert(*n);
        else if (auto uid = ProcFs::uid_of_user(o))
            out.insert(*uid);
    }
    return out;
}
}  // namespace

std::vector<std::string> split_words(const std::string& raw) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < raw.size()) {
        while (i < raw.size() && (raw[i] == '\0' || std::isspace(static_cast<unsigned char>(raw[i])))) ++i;
        size_t start = i;
        while (i < raw.size() && raw[i] != '\0' && !std::isspace(static_cast<unsigned char>(raw[i]))) ++i;
        if (i > start) words.push_back(Proc::Basename::getbasename(raw.substr(start, i - start)));
    }
    return words;
}

const std::vector<std::string>& known_interpreters() {
    static const std::vector<std::string> kNames = {"perl", "python", "python2", "python3", "ruby", "php",
                                                    "node", "nodejs", "bash",    "sh",      "dash", "lua"};
    return kNames;
}

const Regex& get_known_interpreters_regex() {
    static const Regex kRegex = [] {
        std::string alt;
        for (const auto& n : known_interpreters()) alt += (alt.empty() ? "" : "|") + Regex::quote(n);
        return Regex("^(?:" + alt + ")(?:[0-9][0-9.]*)?$");
    }();
    return kRegex;
}

std::vector<pid_t> get_pids_by_name(const NameSpec& spec, const std::optional<Owners>& allowed_owners) {
    std::optional<Regex> pattern;
    const std::string* single = nullptr;
    if (auto* s = std::get_if<std::string>(&spec)) {
        if (s->empty()) return {};
        single = s;
        pattern.emplace("^(?:" + Regex::quote(*s) + ")$");
    } else if (auto* list = std::get_if<std::vector<std::string>>(&spec)) {
        if (list->empty()) return {};
        std::string alt;
        for (const auto& n : *list) alt += (alt.empty() ? "" : "|") + Regex::quote(n);
        pattern.emplace("^(?:" + alt + ")$");
    } else {
        pattern = std::get<Regex>(spec);
    }
    // A pattern that matches everything would name every process.
    if (pattern->match("")) return {};

    std::optional<std::set<uid_t>> owners;
    if (::geteuid() != 0)
        owners = std::set<uid_t>{::geteuid()};  // an unprivileged caller only matches its own processes
    else if (allowed_owners)
        owners = resolve_owners(*allowed_owners);

    std::vector<pid_t> out;
    const UniqueDir dir_stream = g_proc_for_names ? open_dir(ProcFs::proc_root()) : UniqueDir();
    DIR* dir = dir_stream.get();
    if (dir && ::access((ProcFs::proc_root() + "/self/stat").c_str(), R_OK) == 0) {
        char link[4096];
        std::string raw;
        while (struct dirent* e = ::readdir(dir)) {
            const char* n = e->d_name;
            if (*n < '0' || *n > '9') continue;
            auto pid = Number::parse<pid_t>(n, 1);
            // Init is never a service's; a kernel thread has no executable (below).
            if (!pid || *pid == 1) continue;
            int pfd = ::openat(::dirfd(dir), n, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (pfd < 0) continue;
            ssize_t len = ::readlinkat(pfd, "exe", link, sizeof link - 1);
            struct stat st {};
            // A process of another pid namespace (a container's) is never one of ours to kill.
            if (len <= 0 || ::fstat(pfd, &st) != 0 || (owners && !owners->count(st.st_uid)) ||
                !ProcFs::in_own_pid_namespace_at(pfd)) {
                ::close(pfd);
                continue;
            }
            raw.clear();
            int cfd = ::openat(pfd, "cmdline", O_RDONLY | O_CLOEXEC);
            ::close(pfd);
            if (cfd >= 0) {
                char buf[8192];
                ssize_t r;
                while ((r = ::read(cfd, buf, sizeof buf)) > 0) raw.append(buf, static_cast<size_t>(r));
                ::close(cfd);
            }
            auto words = split_words(raw);
            if (words.empty() || words[0].empty()) continue;
            std::string exe(link, static_cast<size_t>(len));
            std::string file = exe.substr(exe.rfind('/') + 1);
            if (proc_matches_regex(*pattern, words[0], words, single, file)) out.push_back(*pid);
        }
        return out;
    }
    Options without_kernel;
    without_kernel.exclude_kernel = true;
    for (const auto& r : fast_parse_ps(without_kernel)) {
        if (owners && !owners->count(r.uid)) continue;
        auto words = split_words(r.command);
        if (words.empty() || words[0].empty()) continue;
        std::string bin = Proc::Bin::getbin(r.pid);
        std::string file = bin.substr(bin.rfind('/') + 1);
        if (proc_matches_regex(*pattern, words[0], words, single, file)) out.push_back(r.pid);
    }
    return out;
}

}  // namespace Vexlan::PsParser
