#include "SafeRun/Object.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "SafeRun/KillSingle.hpp"
#include "SafeRun/ForkAsync.hpp"
#include "SafeRun/ReadMultipleFH.hpp"
#include "Util/Env.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/UniqueFd.hpp"
#include "SafeRun/Counters.hpp"

extern char** environ;

namespace Vexlan::SafeRun {

namespace {
bool g_force_fork = false;

struct Account {
    std::string user;
    std::string home;
};

// The effective user's name and home, looked up once per uid.
std::optional<Account> effective_account() {
    static uid_t cached_uid = static_cast<uid_t>(-1);
    static std::optional<Account> cached;
    uid_t euid = ::geteuid();
    if (cached && cached_uid == euid) return cached;
    ErrnoGuard keep;
    struct passwd pw {};
    struct passwd* result = nullptr;
    char buf[4096];
    if (::getpwuid_r(euid, &pw, buf, sizeof buf, &result) != 0 || !result) return std::nullopt;
    cached = Account{pw.pw_name, pw.pw_dir};
    cached_uid = euid;
    return cached;
}

[[noreturn]] void fail(const std::string& message) {
    throw Exception::create(Exception::Kinds::Generic, {{"message", message}});
}

[[noreturn]] void invalid(const std::string& message) {
    throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", message}});
}

bool privileges_reduced() { return ::geteuid() != ::getuid() && ::getuid() == 0; }

std::string tmp_dir_for(const std::string& home) { return home + "/tmp"; }

// The descriptors the child gets on 0, 1 and 2, and what the parent keeps.
struct Plumbing {
    int child_in = -1;
    int child_out = -1;
    int child_err = -1;
    UniqueFd owned_in;      // the child's end of the input, when this run opened it
    UniqueFd owned_out;     // child's stdout write end (pipe or duplicate)
    UniqueFd owned_err;
    UniqueFd parent_in;     // the parent's write end of the input pipe
    UniqueFd parent_out;    // the parent's read end of the stdout pipe
    UniqueFd parent_err;
};

int dup_cloexec(int fd) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) throw Exception::create(Exception::Kinds::IO::DupError, {{"error", errno}});
    return copy;
}

// Connects one output stream: a caller's descriptor directly, else a pipe.
void plumb_output(const std::optional<OutputHandle>& handle, int& child_fd, UniqueFd& owned, UniqueFd& parent) {
    if (handle) {
        if (auto* fd = std::get_if<Fd>(&*handle)) {
            if (fd->fd < 0) invalid(fmt::format("The output descriptor {} is not open.", fd->fd));
            if (fd->fd <= 2) {
                owned.reset(dup_cloexec(fd->fd));
                child_fd = owned.get();
            } else {
                child_fd = fd->fd;
            }
            return;
        }
    }
    Pipe p = make_pipe();
    // A larger pipe means fewer wake-ups when a child writes a lot; failure is harmless.
    ::fcntl(p.read.get(), F_SETPIPE_SZ, 1 << 20);
    parent = std::move(p.read);
    owned = std::move(p.write);
    child_fd = owned.get();
}

void write_input(int fd, std::string_view data, const std::string& command) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Exception::create(Exception::Kinds::IO::WriteError, {{"length", data.size()}, {"command", command}, {"error", errno}});
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
}
}  // namespace

void Object::force_fork_path(bool on) { g_force_fork = on; }

Object::Object(Options options) { run(options); }

Object Object::new_or_die(Options options) {
    Object run(std::move(options));
    run.die_if_error();
    return run;
}

std::string Object::command_line() const {
    std::string out = program_;
    for (const auto& a : args_) out += " " + a;
    return out;
}

void Object::run(Options& o) {
    // 1. Validate before anything is spawned.
    if (o.program.empty()) fail("The program to run may not be empty.");
    if (o.logger) invalid("“logger” is not an option of this runner.");
    if (o.program.find('/') != std::string::npos && !FileUtils::exists(o.program))
        invalid(fmt::format("The program “{}” does not exist.", o.program));
    const double timeout = o.timeout.value_or(DEFAULT_TIMEOUT);
    const double read_timeout = o.read_timeout.value_or(DEFAULT_READ_TIMEOUT);

    // 2-3. Output streams.
    const bool merged = o.stdout_handle && o.stderr_handle && same_handle(*o.stdout_handle, *o.stderr_handle);
    Plumbing pl;
    plumb_output(o.stdout_handle, pl.child_out, pl.owned_out, pl.parent_out);
    if (merged && !std::holds_alternative<Fd>(*o.stderr_handle)) {
        pl.child_err = pl.child_out;  // standard error shares the stdout pipe
    } else {
        plumb_output(o.stderr_handle, pl.child_err, pl.owned_err, pl.parent_err);
    }

    // 4. Standard input.
    std::shared_ptr<Source> pump;
    const std::string* text = nullptr;
    std::function<void(int)> feeder;
    if (auto* s = std::get_if<std::string>(&o.stdin_input); s && !s->empty()) text = s;
    if (auto* s = std::get_if<const std::string*>(&o.stdin_input); s && *s && !(*s)->empty()) text = *s;
    if (auto* cb = std::get_if<std::function<void(int)>>(&o.stdin_input); cb && *cb) feeder = *cb;
    if (auto* src = std::get_if<std::shared_ptr<Source>>(&o.stdin_input); src && *src) pump = *src;
    if (auto* fd = std::get_if<Fd>(&o.stdin_input)) {
        pl.child_in = fd->fd;
    } else if (text || feeder || pump) {
        Pipe p = make_pipe();
        pl.owned_in = std::move(p.read);
        pl.parent_in = std::move(p.write);
        pl.child_in = pl.owned_in.get();
    } else {
        pl.owned_in.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!pl.owned_in) throw Exception::create(Exception::Kinds::IO::FileOpenError, {{"path", "/dev/null"}, {"mode", "read"}, {"error", errno}});
        pl.child_in = pl.owned_in.get();
    }

    // 5. Process-wide state this call changes is restored on return.
    program_ = o.program;
    args_ = o.args;
    program_name_ = o.program;
    SignalDispositionGuard chld(SIGCHLD, SIG_DFL);
    ErrnoGuard keep_errno;

    std::optional<Account> account;
    auto resolve_account = [&]() {
        if (o.user && o.homedir) return;
        account = effective_account();
        if (!account) fail(fmt::format("The system failed to find a password entry for user ID {}.", ::geteuid()));
        if (!o.user) o.user = account->user;
        if (!o.homedir) o.homedir = account->home;
    };

    // 6. Spawn.
    std::vector<std::string> argv_storage;
    argv_storage.push_back(o.program);
    argv_storage.insert(argv_storage.end(), o.args.begin(), o.args.end());
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    const bool fast = !o.before_exec && !privileges_reduced() && !g_force_fork;
    if (fast) {
        std::vector<std::string> env_storage;
        std::vector<char*> envp;
        char** env = environ;
        if (!o.keep_env) {
            resolve_account();
            env_storage = Env::safe_env_entries();
            std::erase_if(env_storage, [](const std::string& e) {
                return e.starts_with("HOME=") || e.starts_with("USER=");
            });
            env_storage.push_back("HOME=" + *o.homedir);
            env_storage.push_back("USER=" + *o.user);
            if (!std::getenv("TMP")) {
                std::erase_if(env_storage, [](const std::string& e) { return e.starts_with("TEMP="); });
                env_storage.push_back("TMP=" + tmp_dir_for(*o.homedir));
                env_storage.push_back("TEMP=" + tmp_dir_for(*o.homedir));
            }
            for (auto& e : env_storage) envp.push_back(e.data());
            envp.push_back(nullptr);
            env = envp.data();
        }
        posix_spawn_file_actions_t fa;
        posix_spawnattr_t attr;
        posix_spawn_file_actions_init(&fa);
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_adddup2(&fa, pl.child_in, 0);
        posix_spawn_file_actions_adddup2(&fa, pl.child_out, 1);
        posix_spawn_file_actions_adddup2(&fa, pl.child_err, 2);
        // Nothing of the caller but the three standard streams reaches the child.
        posix_spawn_file_actions_addclosefrom_np(&fa, 3);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t pid = 0;
        count_child_started();
        int rc = ::posix_spawnp(&pid, o.program.c_str(), &fa, &attr, argv.data(), env);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) {
            child_error_ = rc << 8;
            exec_failed_ = true;
            stdout_ = std::string();
            stderr_ = fmt::format("The system cannot execute “{}”: {}\n", o.program, std::strerror(rc));
            return;
        }
        child_pid_ = pid;
    } else {
        resolve_account();
        const std::string user = *o.user, home = *o.homedir;
        const std::string program = o.program;
        const int in = pl.child_in, out = pl.child_out, err = pl.child_err;
        const bool keep_env = o.keep_env, reduced = privileges_reduced();
        const auto& before_exec = o.before_exec;
        const uid_t euid = ::geteuid();
        const gid_t egid = ::getegid();
        // A close-on-exec pipe tells an exec failure apart from a program that exits
        // with the same number: a successful exec closes it with nothing written.
        Pipe exec_report = make_pipe();
        child_pid_ = ForkAsync::do_in_child([&]() {
            // Single-threaded program: the child may use the ordinary library until exec.
            if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
                throw Exception::create(Exception::Kinds::IO::DupError, {{"error", errno}});
            ForkAsync::close_fds_from(3, exec_report.write.get());
            for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (!keep_env) Env::clean_env();
            if (reduced) {
                if (::seteuid(0) != 0 || ::setsid() < 0 || ::setgid(egid) != 0 || ::setuid(euid) != 0)
                    throw Exception::create(Exception::Kinds::SystemCall, {{"name", "setuid"}, {"error", errno}});
            }
            if (before_exec) before_exec();
            ::setenv("HOME", home.c_str(), 0);
            ::setenv("USER", user.c_str(), 0);
            ::setenv("TMP", tmp_dir_for(home).c_str(), 0);
            ::setenv("TEMP", tmp_dir_for(home).c_str(), 0);
            ::execvp(program.c_str(), argv.data());
            int e = errno;
            unsigned char byte = static_cast<unsigned char>(e);
            [[maybe_unused]] ssize_t n = ::write(exec_report.write.get(), &byte, 1);
            errno = e;
            throw Exception::create(Exception::Kinds::ProcessFailed::Exec, {{"program", program}, {"error", e}});
        });
        exec_report.write.reset();
        unsigned char byte = 0;
        ssize_t n;
        do {
            n = ::read(exec_report.read.get(), &byte, 1);
        } while (n < 0 && errno == EINTR);
        if (n == 1) exec_failed_ = true;
    }

    // 7-8.
    if (o.after_fork) o.after_fork(child_pid_);
    if (pl.owned_in.reset() != 0 || pl.owned_out.reset() != 0 || pl.owned_err.reset() != 0)
        throw Exception::create(Exception::Kinds::IO::FileCloseError, {{"path", "child pipe end"}, {"error", errno}});

    // 9. Input.
    auto kill_child = [&]() { child_error_ = Kill::Single::safekill_single_pid(child_pid_, SAFEKILL_TIMEOUT); };
    if (pl.parent_in) {
        try {
            if (feeder) {
                feeder(pl.parent_in.get());
            } else {
                SignalDispositionGuard pipe_guard(SIGPIPE, SIG_IGN);
                if (pump) {
                    std::string chunk(CHUNK_SIZE, '\0');
                    for (;;) {
                        ssize_t n = pump->read(chunk.data(), CHUNK_SIZE);
                        if (n < 0) {
                            if (errno == EINTR) continue;
                            throw Exception::create(Exception::Kinds::IO::ReadError, {{"length", CHUNK_SIZE}, {"command", command_line()}, {"error", errno}});
                        }
                        if (n == 0) break;
                        write_input(pl.parent_in.get(), std::string_view(chunk.data(), static_cast<size_t>(n)), command_line());
                    }
                } else if (text) {
                    write_input(pl.parent_in.get(), *text, command_line());
                }
            }
        } catch (...) {
            pl.parent_in.reset();
            kill_child();
            throw;
        }
        if (pl.parent_in.reset() != 0)
            std::fprintf(stderr, "warn [SafeRun] failed to close the input of “%s”: %s\n", program_.c_str(), std::strerror(errno));
    }

    // 10-12. Output.
    const bool capture_out = !o.stdout_handle;
    const bool capture_err = !o.stderr_handle;
    std::vector<ReadMultipleFH::Entry> entries;
    if (pl.parent_out)
        entries.push_back({pl.parent_out.get(), capture_out ? ReadMultipleFH::Target{} : ReadMultipleFH::Target{*o.stdout_handle}});
    if (pl.parent_err)
        entries.push_back({pl.parent_err.get(), capture_err ? ReadMultipleFH::Target{} : ReadMultipleFH::Target{*o.stderr_handle}});
    if (!entries.empty()) {
        std::optional<ReadMultipleFH> reader;
        try {
            reader.emplace(std::move(entries), timeout, read_timeout);
        } catch (...) {
            kill_child();
            throw;
        }
        if (!reader->did_finish()) {
            timed_out_after_ = reader->timed_out();
            kill_child();
        }
        if (capture_out && pl.parent_out) stdout_ = reader->take_buffer(pl.parent_out.get());
        if (capture_err && pl.parent_err) stderr_ = reader->take_buffer(pl.parent_err.get());
    }
    pl.parent_out.reset();
    pl.parent_err.reset();
    if (capture_out && !stdout_) stdout_ = std::string();
    if (capture_err && !stderr_) stderr_ = std::string();

    // 13. Reap.
    if (!child_error_ && child_pid_ > 0) {
        int status = 0;
        pid_t rc;
        do {
            rc = ::waitpid(child_pid_, &status, 0);
        } while (rc < 0 && errno == EINTR);
        child_error_ = rc == child_pid_ ? status : 0;
    }
    // 14. posix_spawn reports a program that cannot run as exit code 127.
    if (fast && child_error_ == 127 << 8) {
        child_error_ = 2 << 8;
        exec_failed_ = true;
        if (stderr_) *stderr_ += fmt::format("The system cannot execute “{}”.\n", program_);
    }
}

const std::string& Object::stdout_text() const {
    if (!stdout_) fail("The standard output of “" + program_ + "” was not captured.");
    return *stdout_;
}

const std::string& Object::stderr_text() const {
    if (!stderr_) fail("The standard error of “" + program_ + "” was not captured.");
    return *stderr_;
}

std::string Object::error_phrase() const {
    return fmt::format("The subprocess “{}” (pid {}) reported error number {} when it ended.", command_line(), child_pid_,
                       error_code().value_or(0));
}

std::string Object::signal_phrase() const {
    return fmt::format("The subprocess “{}” (pid {}) ended prematurely because it received the “{}” ({}) signal.",
                       command_line(), child_pid_, signal_name(), signal_code().value_or(0));
}

std::vector<std::string> Object::additional_phrases_for_autopsy() const {
    if (!timed_out_after_) return {};
    return {fmt::format("The subprocess timed out after {} seconds.", *timed_out_after_)};
}

Exception::Fields Object::extra_error_args_for_die_if_error() const {
    return {{"stdout", stdout_.value_or("")}, {"stderr", stderr_.value_or("")}, {"pid", child_pid_}};
}

std::optional<Exception::Base> Object::to_exception() const {
    if (timed_out_after_) {
        Exception::Fields f = extra_error_args_for_die_if_error();
        f["program"] = program_;
        f["timeout"] = *timed_out_after_;
        return Exception::create(Exception::Kinds::ProcessFailed::Timeout, f);
    }
    return ChildErrorStringifier::to_exception();
}

}  // namespace Vexlan::SafeRun
