#include "RestartSrv/LoggedStartup.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "Config/LoadVxConf.hpp"
#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "SafeRun/ForkAsync.hpp"
#include "SafeRun/ForkSync.hpp"
#include "SafeRun/Object.hpp"
#include "RestartSrv/StartupLogNames.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/Number.hpp"
#include "Util/Paths.hpp"
#include "Util/Validate.hpp"

namespace Vexlan::RestartSrv {

namespace {
constexpr double kDefaultTimeout = 300;
double g_startup_timeout = kDefaultTimeout;
std::optional<double> g_last_timeout;
int g_last_raw_status = 0;

// What a started program must not inherit from this process: blocked or ignored signals
// (SIGPIPE is ignored here), or any descriptor but the three it is given.
void reset_process_state_for_exec(int keep_fd) {
    for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ForkAsync::close_fds_from(3, keep_fd);
}

void ensure_startup_log_dir() {
    const std::string dir = Paths::get(Paths::Key::StartupLogDir);
    if (!FileUtils::ensure_owned_directory(dir, 0700))
        Debug::log_warn(fmt::format("The directory “{}” is not used: {}", dir, FileUtils::describe_open_error(errno)));
}

UniqueFd open_log_or_null(const std::string& service, bool wipe) {
    try {
        return _open_startup_log(service, wipe);
    } catch (const Exception::Base&) {
        // The command still runs; its output goes nowhere.
        UniqueFd null_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        if (!null_fd) throw Exception::create(Exception::Kinds::IO::FileOpenError, {{"path", "/dev/null"}, {"mode", "write"}, {"error", errno}});
        return null_fd;
    }
}

// The command becomes this process: it was started by the service's own systemd unit.
void exec_in_place(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    reset_process_state_for_exec(-1);
    ::execv(command[0].c_str(), argv.data());
}

pid_t start_as_daemon(const std::vector<std::string>& command, int log) {
    const std::string program = command[0];
    std::vector<std::string> words = command;
    ForkSync run([&]() -> nlohmann::json {
        Pipe report = make_pipe();
        pid_t daemon = ForkAsync::do_in_child([&]() {
            report.read.reset();
            UniqueFd null_in(::open("/dev/null", O_RDONLY));
            if (::dup2(log, 2) < 0 || ::dup2(log, 1) < 0 || !null_in || ::dup2(null_in.get(), 0) < 0)
                throw Exception::create(Exception::Kinds::IO::DupError, {{"error", errno}});
            // Detached: no controlling terminal, no process group of the caller's.
            ::setsid();
            reset_process_state_for_exec(report.write.get());
            std::vector<char*> argv;
            for (auto& w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            int err = errno;
            unsigned char byte = static_cast<unsigned char>(err);
            [[maybe_unused]] ssize_t n = ::write(report.write.get(), &byte, 1);
            ::_exit(err);
        });
        report.write.reset();
        unsigned char byte = 0;
        ssize_t n;
        do {
            n = ::read(report.read.get(), &byte, 1);
        } while (n < 0 && errno == EINTR);
        // End of file: exec closed the close-on-exec write end; a byte is exec's error.
        if (n == 1) return nlohmann::json::object({{"error", static_cast<int>(byte)}, {"program", program}});
        return daemon;
    });
    const auto& value = run.return_value();
    const nlohmann::json result = value.is_array() && !value.empty() ? value.back() : value;
    if (result.is_number_integer()) return result.get<pid_t>();
    int err = result.is_object() ? result.value("error", 0) : 0;
    if (!err && run.had_error()) err = EIO;
    throw Exception::create(Exception::Kinds::ProcessFailed::Exec, {{"program", program}, {"error", err ? err : ENOEXEC}});
}

bool start_capture_and_wait(const std::vector<std::string>& command, int log, double timeout) {
    if (!FileUtils::is_executable_file(command[0])) {
        set_last_child_status(2 << 8);
        return false;
    }
    SafeRun::Options o;
    o.program = command[0];
    o.args.assign(command.begin() + 1, command.end());
    o.stdout_handle = SafeRun::OutputHandle{SafeRun::Fd{log}};
    o.stderr_handle = o.stdout_handle;
    o.keep_env = true;  // the daemon environment is already this process's environment
    o.new_session = true;
    o.timeout = timeout;
    SafeRun::Object run(std::move(o));
    int status = run.CHILD_ERROR().value_or(0);
    g_last_timeout = run.timed_out();
    if (run.exec_failed()) {
        std::string line = fmt::format("The system failed to execute “{}”: {}\n", command[0], std::strerror(run.error_code().value_or(ENOEXEC)));
        FileUtils::write_all(log, line);
    }
    g_last_raw_status = status;
    if (WIFSIGNALED(status)) status = (128 + WTERMSIG(status)) << 8;  // killed is not "exit 0"
    set_last_child_status(status);
    return true;
}
}  // namespace

double startup_command_timeout() {
    if (g_startup_timeout != kDefaultTimeout) return g_startup_timeout;
    // An administrator may give init scripts more (or less) time in the main configuration.
    if (auto v = Config::LoadVxConf::value(TIMEOUT_KEY))
        if (auto n = Number::parse<int>(*v, 1, 86400)) return *n;
    return g_startup_timeout;
}
void set_startup_command_timeout_for_testing(double seconds) { g_startup_timeout = seconds > 0 ? seconds : kDefaultTimeout; }
std::optional<double> last_startup_timeout() { return g_last_timeout; }
int last_startup_wait_status() { return g_last_raw_status; }

std::string startup_log_path(const std::string& service) {
    return Paths::get(Paths::Key::StartupLogDir) + "/" + Services::Log::get_service_name_from_legacy_name(service);
}

UniqueFd _open_startup_log(const std::string& service, bool truncate) {
    ErrnoGuard keep;
    Validate::filesystem_node_name_or_die(service);
    const std::string path = startup_log_path(service);
    UniqueFd fd;
    if (FileUtils::ensure_owned_directory(Paths::get(Paths::Key::StartupLogDir), 0700))
        fd = FileUtils::open_private_file(path, O_WRONLY | O_CREAT | (truncate ? O_TRUNC : O_APPEND), true);
    if (!fd)
        throw Exception::create(Exception::Kinds::IO::FileOpenError,
                                {{"path", path}, {"mode", truncate ? "truncate" : "append"}, {"error", FileUtils::describe_open_error(errno)}});
    return fd;
}

std::optional<pid_t> logged_startup(const std::string& service, bool wipe, const std::vector<std::string>& command,
                                    const StartupOptions& options) {
    ErrnoGuard keep;
    if (command.empty() || command[0].empty())
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "A startup command needs a program."}});
    ensure_startup_log_dir();
    if (::getppid() == 1 && Systemd::has_service_via_systemd(service)) exec_in_place(command);
    UniqueFd log = open_log_or_null(service, wipe);
    g_last_timeout.reset();
    if (options.wait) {
        if (!start_capture_and_wait(command, log.get(), options.timeout > 0 ? options.timeout : startup_command_timeout()))
            return std::nullopt;
        return ::getpid();  // a true value: the command ran
    }
    return start_as_daemon(command, log.get());
}

std::optional<std::string> fetch_startup_log(const std::string& service) {
    Validate::filesystem_node_name_or_die(service);
    auto text = FileUtils::read_regular_file(startup_log_path(service), 1 << 20);
    if (!text || text->empty()) return std::nullopt;
    return text;
}

int append_to_startup_log(const std::string& service, const std::string& text) {
    Validate::filesystem_node_name_or_die(service);
    if (text.empty()) return 1;
    ensure_startup_log_dir();
    UniqueFd log = _open_startup_log(service, false);
    if (!FileUtils::write_all(log.get(), text))
        throw Exception::create(Exception::Kinds::IO::FileWriteError, {{"path", startup_log_path(service)}, {"error", errno}});
    return 1;
}

void nooutputsystem(std::vector<std::string> words) {
    while (!words.empty() && words.back().empty()) words.pop_back();
    std::vector<std::string> command;
    for (const auto& w : words) {
        size_t start = 0;
        for (size_t sp = w.find(' '); ; sp = w.find(' ', start)) {
            command.push_back(w.substr(start, sp == std::string::npos ? std::string::npos : sp - start));
            if (sp == std::string::npos) break;
            start = sp + 1;
        }
    }
    if (command.empty() || command[0].empty()) {
        set_last_child_status(1 << 8);
        return;
    }
    UniqueFd null_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    SafeRun::Options o;
    o.program = command[0];
    o.args.assign(command.begin() + 1, command.end());
    o.stdout_handle = SafeRun::OutputHandle{SafeRun::Fd{null_fd.get()}};
    o.stderr_handle = o.stdout_handle;
    o.keep_env = true;
    o.new_session = true;
    try {
        SafeRun::Object run(std::move(o));
        set_last_child_status(run.exec_failed() ? 1 << 8 : run.CHILD_ERROR().value_or(0));
    } catch (const Exception::Base&) {
        set_last_child_status(1 << 8);  // the program cannot be run: as an exec that failed
    }
}

}  // namespace Vexlan::RestartSrv
