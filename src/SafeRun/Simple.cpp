#include "SafeRun/Simple.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "Exception/Exception.hpp"
#include "SafeRun/Child.hpp"
#include "SafeRun/Counters.hpp"
#include "SafeRun/SpawnSetup.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/UniqueFd.hpp"

extern char** environ;

namespace Vexlan::SafeRun::Simple {

namespace {
// Variables that would let the environment inject code into the command.
constexpr const char* kUnsafe[] = {"BASH_ENV", "ENV", "LD_PRELOAD", "LD_LIBRARY_PATH"};

bool is_unsafe(const char* entry) {
    for (const char* name : kUnsafe) {
        size_t n = std::strlen(name);
        if (std::strncmp(entry, name, n) == 0 && entry[n] == '=') return true;
    }
    return false;
}

bool has_shell_syntax(const std::string& s) {
    return s.find_first_of(" \t\n|&;<>()$`\\\"'*?[]{}~") != std::string::npos;
}

// What must never run at all: an empty command, a whole shell line in one word, any
// command while root's privileges are reduced.
void refuse_unrunnable(const Command& command) {
    if (command.empty() || command[0].empty())
        throw Exception::create(Exception::Kinds::InvalidParameter,
                                {{"message", "A command needs a program."}});
    if (::geteuid() != ::getuid() && ::getuid() == 0)
        throw Exception::create(Exception::Kinds::Generic,
                                {{"message", "Commands cannot run while privileges are reduced."}});
    if (command.size() == 1 && has_shell_syntax(command[0]))
        throw Exception::create(Exception::Kinds::InvalidParameter,
                                {{"message", "“" + command[0] +
                                                 "” looks like a shell command line; pass the program and "
                                                 "its arguments as separate words."}});
}

// An absolute program path that names no executable file: no run, no error.
bool program_is_missing(const std::string& program) {
    if (program[0] != '/') return false;
    std::string path = program;
    if (!FileUtils::exists(path)) {
        auto cut = path.find_first_of(" \t\n<>&|;");
        if (cut != std::string::npos) path.resize(cut);
    }
    return !FileUtils::is_executable_file(path);
}

// Standard output (and error, as the mode says) to `out`, /dev/null where the mode drops a
// stream; nothing else of the caller's; default signal dispositions and an empty mask.
// The child's pid, or 0 when it could not be started.
pid_t spawn(const Command& command, Mode mode, int out, int null_fd) {
    std::vector<char*> envp;
    for (char** e = environ; e && *e; ++e)
        if (!is_unsafe(*e)) envp.push_back(*e);
    envp.push_back(nullptr);
    std::vector<std::string> argv_storage(command);
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    SpawnSetup setup;
    const int out_fd = (mode == NULL_STDOUT && null_fd >= 0) ? null_fd : out;
    switch (mode) {
        case KEEP_STDERR:
            setup.dup2(out_fd, 1);
            break;
        case MERGE_STDERR:
            setup.dup2(out_fd, 1);
            setup.dup2(out, 2);
            break;
        case NULL_STDERR:
            setup.dup2(out_fd, 1);
            if (null_fd >= 0) setup.dup2(null_fd, 2);
            break;
        case NULL_STDOUT:
            setup.dup2(out, 2);
            setup.dup2(out_fd, 1);
            break;
    }
    setup.close_from(3);
    setup.default_signals();
    pid_t pid = 0;
    count_child_started();
    const int rc = setup.spawn(&pid, command[0].c_str(), argv.data(), envp.data());
    return rc == 0 ? pid : 0;
}

std::string read_all(int fd, const std::string& program) {
    std::string output;
    char buf[262144];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw Exception::create(Exception::Kinds::IO::FileReadError,
                                    {{"path", program + " output"}, {"error", errno}});
        if (n == 0) return output;
        output.append(buf, static_cast<size_t>(n));
    }
}
}  // namespace

std::optional<std::string> run_mode(const Command& command, Mode mode) {
    refuse_unrunnable(command);
    if (program_is_missing(command[0])) {
        set_last_child_status(-1);
        return std::nullopt;
    }
    Pipe out;
    try {
        out = make_pipe();
    } catch (const Exception::Base& e) {
        std::fprintf(stderr, "warn [SafeRun] %s\n", e.to_string().c_str());
        set_last_child_status(-1);
        return std::nullopt;
    }
    UniqueFd null_fd;
    if (mode == NULL_STDERR || mode == NULL_STDOUT) null_fd.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));

    SignalDispositionGuard chld(SIGCHLD, SIG_DFL);
    const pid_t pid = spawn(command, mode, out.write.get(), null_fd ? null_fd.get() : -1);
    out.write.reset();
    null_fd.reset();
    if (pid == 0) {
        set_last_child_status(-1);
        return std::nullopt;
    }
    Child child(pid);
    std::string output;
    try {
        output = read_all(out.read.get(), command[0]);
    } catch (...) {
        set_last_child_status(child.end());
        throw;
    }
    out.read.reset();
    set_last_child_status(child.wait().value_or(-1));
    return output;
}

std::optional<std::string> saferun(const Command& c) {
    return run_mode(c, KEEP_STDERR);
}
std::optional<std::string> saferunallerrors(const Command& c) {
    return run_mode(c, MERGE_STDERR);
}
std::optional<std::string> saferunnoerror(const Command& c) {
    return run_mode(c, NULL_STDERR);
}
std::optional<std::string> saferunonlyerrors(const Command& c) {
    return run_mode(c, NULL_STDOUT);
}
std::shared_ptr<std::string> saferun_r(const Command& c) {
    auto out = run_mode(c, KEEP_STDERR);
    return out ? std::make_shared<std::string>(std::move(*out)) : nullptr;
}

}  // namespace Vexlan::SafeRun::Simple

namespace Vexlan::SafeRun::Errors {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

std::optional<std::string> saferunallerrors(const Command& c) {
    return Simple::saferunallerrors(c);
}
std::optional<std::string> saferunnoerror(const Command& c) {
    return Simple::saferunnoerror(c);
}
std::optional<std::string> saferunonlyerrors(const Command& c) {
    return Simple::saferunonlyerrors(c);
}
std::vector<std::string> saferunallerrors_lines(const Command& c) {
    return split_lines(Simple::saferunallerrors(c).value_or(""));
}
std::vector<std::string> saferunnoerror_lines(const Command& c) {
    return split_lines(Simple::saferunnoerror(c).value_or(""));
}
std::vector<std::string> saferunonlyerrors_lines(const Command& c) {
    return split_lines(Simple::saferunonlyerrors(c).value_or(""));
}

}  // namespace Vexlan::SafeRun::Errors
