#include "SafeRun/Object.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "SafeRun/ForkAsync.hpp"
#include "SafeRun/ReadMultipleFH.hpp"
#include "SafeRun/SpawnSetup.hpp"
#include "Util/Env.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/Time.hpp"
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

// Fills in the user and home directory the child's environment names.
void resolve_account(Options& o) {
    if (o.user && o.homedir) return;
    auto account = effective_account();
    if (!account) fail(fmt::format("The system failed to find a password entry for user ID {}.", ::geteuid()));
    if (!o.user) o.user = account->user;
    if (!o.homedir) o.homedir = account->home;
}

std::string tmp_dir_for(const std::string& home) { return home + "/tmp"; }

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

int dup_cloexec(int fd) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) throw Exception::create(Exception::Kinds::IO::DupError, {{"error", errno}});
    return copy;
}
}  // namespace

// The descriptors the child gets on 0, 1 and 2, what the parent keeps, and the input.
struct Object::Streams {
    int child_in = -1;
    int child_out = -1;
    int child_err = -1;
    UniqueFd owned_in;   // the child's end of the input, when this run opened it
    UniqueFd owned_out;  // child's stdout write end (pipe or duplicate)
    UniqueFd owned_err;
    UniqueFd parent_in;   // the parent's write end of the input pipe
    UniqueFd parent_out;  // the parent's read end of the stdout pipe
    UniqueFd parent_err;
    const std::string* text = nullptr;
    std::function<void(int)> feeder;
    std::shared_ptr<Source> pump;

    // Connects one output stream: a caller's descriptor directly, else a pipe.
    static void output(const std::optional<OutputHandle>& handle, int& child_fd, UniqueFd& owned, UniqueFd& parent) {
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
};

void Object::force_fork_path(bool on) { g_force_fork = on; }

Object::Object(Options options) { run(options); }

Object::~Object() = default;
Object::Object(Object&&) noexcept = default;

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
    validate(o);
    const double timeout = o.timeout.value_or(DEFAULT_TIMEOUT);
    const double read_timeout = o.read_timeout.value_or(DEFAULT_READ_TIMEOUT);
    Streams streams = plumb(o);
    program_ = o.program;
    args_ = o.args;
    program_name_ = o.program;
    // Process-wide state this call changes is restored on return.
    SignalDispositionGuard chld(SIGCHLD, SIG_DFL);
    ErrnoGuard keep_errno;
    spawn(o, streams);
    if (!child_) return;  // the program could not be started; the result says why
    feed(streams);
    collect(o, streams, timeout, read_timeout);
    reap(timeout);
}

void Object::validate(const Options& o) {
    if (o.program.empty()) fail("The program to run may not be empty.");
    if (o.logger) invalid("“logger” is not an option of this runner.");
    if (o.program.find('/') != std::string::npos && !FileUtils::exists(o.program))
        invalid(fmt::format("The program “{}” does not exist.", o.program));
}

Object::Streams Object::plumb(Options& o) {
    Streams st;
    const bool merged = o.stdout_handle && o.stderr_handle && same_handle(*o.stdout_handle, *o.stderr_handle);
    Streams::output(o.stdout_handle, st.child_out, st.owned_out, st.parent_out);
    if (merged && !std::holds_alternative<Fd>(*o.stderr_handle))
        st.child_err = st.child_out;  // standard error shares the stdout pipe
    else
        Streams::output(o.stderr_handle, st.child_err, st.owned_err, st.parent_err);

    if (auto* t = std::get_if<std::string>(&o.stdin_input); t && !t->empty()) st.text = t;
    if (auto* t = std::get_if<const std::string*>(&o.stdin_input); t && *t && !(*t)->empty()) st.text = *t;
    if (auto* cb = std::get_if<std::function<void(int)>>(&o.stdin_input); cb && *cb) st.feeder = *cb;
    if (auto* src = std::get_if<std::shared_ptr<Source>>(&o.stdin_input); src && *src) st.pump = *src;
    if (auto* fd = std::get_if<Fd>(&o.stdin_input)) {
        st.child_in = fd->fd;
    } else if (st.text || st.feeder || st.pump) {
        Pipe p = make_pipe();
        st.owned_in = std::move(p.read);
        st.parent_in = std::move(p.write);
        st.child_in = st.owned_in.get();
    } else {
        st.owned_in.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!st.owned_in)
            throw Exception::create(Exception::Kinds::IO::FileOpenError, {{"path", "/dev/null"}, {"mode", "read"}, {"error", errno}});
        st.child_in = st.owned_in.get();
    }
    return st;
}

void Object::spawn(Options& o, Streams& st) {
    std::vector<std::string> argv_storage;
    argv_storage.push_back(o.program);
    argv_storage.insert(argv_storage.end(), o.args.begin(), o.args.end());
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);
    started_at_ = Time::monotonic_seconds_f();
    if (!o.before_exec && !o.new_session && !privileges_reduced() && !g_force_fork)
        spawn_fast(o, st, argv);
    else
        spawn_forked(o, st, argv);
    if (!child_) return;
    if (o.after_fork) o.after_fork(child_pid_);
    if (st.owned_in.reset() != 0 || st.owned_out.reset() != 0 || st.owned_err.reset() != 0)
        throw Exception::create(Exception::Kinds::IO::FileCloseError, {{"path", "child pipe end"}, {"error", errno}});
}

void Object::spawn_fast(Options& o, Streams& st, std::vector<char*>& argv) {
    std::vector<std::string> env_storage;
    std::vector<char*> envp;
    char** env = environ;
    if (!o.keep_env) {
        resolve_account(o);
        env_storage = Env::safe_env_entries();
        std::erase_if(env_storage, [](const std::string& e) { return e.starts_with("HOME=") || e.starts_with("USER="); });
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
    SpawnSetup setup;
    setup.dup2(st.child_in, 0);
    setup.dup2(st.child_out, 1);
    setup.dup2(st.child_err, 2);
    setup.close_from(3);
    setup.default_signals();
    if (o.own_process_group) setup.own_process_group();
    pid_t pid = 0;
    count_child_started();
    const int rc = setup.spawn(&pid, o.program.c_str(), argv.data(), env);
    if (rc != 0) {
        child_error_ = rc << 8;
        exec_failed_ = true;
        stdout_ = std::string();
        stderr_ = fmt::format("The system cannot execute “{}”: {}\n", o.program, std::strerror(rc));
        return;
    }
    child_pid_ = pid;
    child_ = std::make_unique<Child>(pid, o.own_process_group);
    fast_path_ = true;
}

void Object::spawn_forked(Options& o, Streams& st, std::vector<char*>& argv) {
    resolve_account(o);
    const std::string user = *o.user, home = *o.homedir;
    const std::string program = o.program;
    const int in = st.child_in, out = st.child_out, err = st.child_err;
    const bool keep_env = o.keep_env, reduced = privileges_reduced(), new_session = o.new_session;
    const bool own_group = o.own_process_group || new_session;
    const auto& before_exec = o.before_exec;
    const uid_t euid = ::geteuid();
    const gid_t egid = ::getegid();
    // A close-on-exec pipe tells an exec failure apart from a program that exits with the
    // same number: a successful exec closes it with nothing written.
    Pipe exec_report = make_pipe();
    child_pid_ = ForkAsync::do_in_child([&]() {
        // Single-threaded program: the child may use the ordinary library until exec.
        // A child meant to be ended as a group must not start in the caller's.
        if (new_session && ::setsid() < 0)
            throw Exception::create(Exception::Kinds::SystemCall, {{"name", "setsid"}, {"error", errno}});
        if (!new_session && own_group && ::setpgid(0, 0) != 0)
            throw Exception::create(Exception::Kinds::SystemCall, {{"name", "setpgid"}, {"error", errno}});
        if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
            throw Exception::create(Exception::Kinds::IO::DupError, {{"error", errno}});
        ForkAsync::close_fds_from(3, exec_report.write.get());
        for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (!keep_env) Env::clean_env();
        if (reduced) {
            if (::seteuid(0) != 0 || (!new_session && ::setsid() < 0) || ::setgid(egid) != 0 || ::setuid(euid) != 0)
                throw Exception::create(Exception::Kinds::SystemCall, {{"name", "setuid"}, {"error", errno}});
        }
        if (before_exec) before_exec();
        if (!keep_env) {  // a kept environment is passed on as it is, as on the fast path
            ::setenv("HOME", home.c_str(), 0);
            ::setenv("USER", user.c_str(), 0);
            ::setenv("TMP", tmp_dir_for(home).c_str(), 0);
            ::setenv("TEMP", tmp_dir_for(home).c_str(), 0);
        }
        ::execvp(program.c_str(), argv.data());
        int e = errno;
        unsigned char byte = static_cast<unsigned char>(e);
        [[maybe_unused]] ssize_t n = ::write(exec_report.write.get(), &byte, 1);
        errno = e;
        throw Exception::create(Exception::Kinds::ProcessFailed::Exec, {{"program", program}, {"error", e}});
    });
    // The parent sets the group too, so that it exists before anything may signal it. Its
    // failure is of no consequence: the child may have set it and run its program already
    // (EACCES) or be gone (ESRCH), and the child's own call, which is checked, decides.
    if (own_group && !new_session) [[maybe_unused]]
        const int rc = ::setpgid(child_pid_, child_pid_);
    child_ = std::make_unique<Child>(child_pid_, own_group);
    exec_report.write.reset();
    unsigned char byte = 0;
    ssize_t n;
    do {
        n = ::read(exec_report.read.get(), &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1) exec_failed_ = true;
}

void Object::end_child() {
    if (child_) child_error_ = child_->end(SAFEKILL_TIMEOUT);
}

void Object::feed(Streams& st) {
    if (!st.parent_in) return;
    try {
        if (st.feeder) {
            st.feeder(st.parent_in.get());
        } else {
            SignalDispositionGuard pipe_guard(SIGPIPE, SIG_IGN);
            if (st.pump) {
                std::string chunk(CHUNK_SIZE, '\0');
                for (;;) {
                    ssize_t n = st.pump->read(chunk.data(), CHUNK_SIZE);
                    if (n < 0) {
                        if (errno == EINTR) continue;
                        throw Exception::create(Exception::Kinds::IO::ReadError,
                                                {{"length", CHUNK_SIZE}, {"command", command_line()}, {"error", errno}});
                    }
                    if (n == 0) break;
                    write_input(st.parent_in.get(), std::string_view(chunk.data(), static_cast<size_t>(n)), command_line());
                }
            } else if (st.text) {
                write_input(st.parent_in.get(), *st.text, command_line());
            }
        }
    } catch (...) {
        st.parent_in.reset();
        end_child();
        throw;
    }
    if (st.parent_in.reset() != 0)
        std::fprintf(stderr, "warn [SafeRun] failed to close the input of “%s”: %s\n", program_.c_str(), std::strerror(errno));
}

void Object::collect(const Options& o, Streams& st, double timeout, double read_timeout) {
    const bool capture_out = !o.stdout_handle;
    const bool capture_err = !o.stderr_handle;
    std::vector<ReadMultipleFH::Entry> entries;
    if (st.parent_out)
        entries.push_back({st.parent_out.get(), capture_out ? ReadMultipleFH::Target{} : ReadMultipleFH::Target{*o.stdout_handle}});
    if (st.parent_err)
        entries.push_back({st.parent_err.get(), capture_err ? ReadMultipleFH::Target{} : ReadMultipleFH::Target{*o.stderr_handle}});
    if (!entries.empty()) {
        std::optional<ReadMultipleFH> reader;
        try {
            reader.emplace(std::move(entries), timeout, read_timeout);
        } catch (...) {
            end_child();
            throw;
        }
        if (!reader->did_finish()) {
            timed_out_after_ = reader->timed_out();
            end_child();
        }
        if (capture_out && st.parent_out) stdout_ = reader->take_buffer(st.parent_out.get());
        if (capture_err && st.parent_err) stderr_ = reader->take_buffer(st.parent_err.get());
    }
    st.parent_out.reset();
    st.parent_err.reset();
    if (capture_out && !stdout_) stdout_ = std::string();
    if (capture_err && !stderr_) stderr_ = std::string();
}

void Object::reap(double timeout) {
    if (child_->running()) {
        // The overall time-out holds whatever the outputs are: a child writing to a file
        // (or one that closed its pipes and hangs) is ended when it runs out.
        std::optional<double> left;
        if (timeout > 0) left = std::max(0.001, timeout - (Time::monotonic_seconds_f() - started_at_));
        if (auto status = child_->wait(left)) {
            child_error_ = *status;
        } else {
            timed_out_after_ = timeout;
            end_child();
        }
    }
    // posix_spawn reports a program that cannot run as exit code 127.
    if (fast_path_ && child_error_ == 127 << 8) {
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
