#pragma once
// Every kind of error the program raises, written once with its message template, so a
// misspelt kind fails to compile. A kind is a path-like name ("Services::Down") whose
// prefixes are its ancestors; "{field}" in a template stands for the field's text.
#include <string_view>

namespace Vexlan::Exception {

class Kind {
public:
    constexpr Kind(std::string_view name, std::string_view message_template = {})
        : name_(name), template_(message_template) {}
    constexpr std::string_view name() const { return name_; }
    constexpr std::string_view message_template() const { return template_; }

private:
    std::string_view name_;
    std::string_view template_;
};

// The template of a kind given by name, or an empty view when no kind has that name.
std::string_view catalogue_template(std::string_view name);

}  // namespace Vexlan::Exception

namespace Vexlan::Exception::Kinds {

// The families: membership tests for whole branches of the tree.
inline constexpr Kind Any{""};
inline constexpr Kind ServicesFamily{"Services"};
inline constexpr Kind IOFamily{"IO"};
inline constexpr Kind ProcessFailedFamily{"ProcessFailed"};
inline constexpr Kind ProcessCheckFamily{"ProcessCheck"};

inline constexpr Kind Generic{"Generic", "{message}"};
inline constexpr Kind InvalidParameter{"InvalidParameter", "Invalid parameter: {message}"};
inline constexpr Kind MissingParameter{"MissingParameter", "The parameter “{name}” is required."};
inline constexpr Kind ModuleLoadError{"ModuleLoadError", "The module “{module}” failed to load: {error}"};
inline constexpr Kind Timeout{"Timeout", "The operation did not finish within {timeout} seconds."};
inline constexpr Kind SystemCall{"SystemCall", "The system call “{name}” failed: {error}"};
inline constexpr Kind UserNotFound{"UserNotFound", "The user “{name}” does not exist."};
inline constexpr Kind NotPrivileged{"NotPrivileged", "{message}"};
inline constexpr Kind RoleDisabled{"RoleDisabled", "The server role “{role}” is disabled."};
inline constexpr Kind AbstractMethod{"AbstractMethod", "“{class}” must implement “{method}”."};
inline constexpr Kind OSUnknown{"OS::Unknown", "The distribution could not be identified (distro “{distro}”, major “{major}”, minor “{minor}”, build “{build}”)."};
inline constexpr Kind OSUnsupportedFact{"OS::UnsupportedFact", "“{fact}” is not a fact of {class}."};
inline constexpr Kind ConfigLoad{"Config::Load", "The system failed to load the configuration file “{path}”: {error}"};
inline constexpr Kind LockNotObtained{"Lock::NotObtained",
                                      "The lock “{path}” for the service “{service}” was not obtained within {timeout} seconds."};
inline constexpr Kind ProcEnded{"Proc::Ended", "The process with ID “{pid}” is not running."};

namespace Services {
inline constexpr Kind NotConfigured{"Services::NotConfigured", "The service “{service}” is not configured: {reason}"};
inline constexpr Kind NotInstalled{"Services::NotInstalled", "The service “{service}” is not installed."};
inline constexpr Kind Disabled{"Services::Disabled", "The service “{service}” is disabled."};
inline constexpr Kind StartFailed{"Services::StartFailed", "The service “{service}” failed to start."};
inline constexpr Kind StopFailed{"Services::StopFailed", "The service “{service}” failed to stop."};
inline constexpr Kind RestartFailed{"Services::RestartFailed", "The service “{service}” failed to restart."};
inline constexpr Kind ReloadFailed{"Services::ReloadFailed", "The service “{service}” failed to reload."};
inline constexpr Kind Down{"Services::Down", "The service “{service}” is down."};
// Not up, on its way there or away: systemd is running its start job (or waiting to restart
// it), or its stop job. Every flow that takes a service for down takes these for down too.
inline constexpr Kind Starting{"Services::Down::Starting", "The service “{service}” {how}; it is not up yet."};
inline constexpr Kind Stopping{"Services::Down::Stopping", "The service “{service}” is stopping."};
inline constexpr Kind Undetermined{"Services::Undetermined", "The status of “{service}” cannot be determined: {reason}"};
inline constexpr Kind NoBinary{"Services::NoBinary",
                               "The binary “{path}” for the service “{service}” is missing or not executable: {error}"};
inline constexpr Kind RoleDisabled{"Services::RoleDisabled", "The service “{service}” is not needed by any enabled server role."};
inline constexpr Kind Unknown{"Services::Unknown",
                              "The service “{service}” is unknown: it has no service class, init script or systemd unit."};
}  // namespace Services

namespace IO {
inline constexpr Kind FileOpenError{"IO::FileOpenError", "The system failed to open “{path}” ({mode}): {error}"};
inline constexpr Kind FileReadError{"IO::FileReadError", "The system failed to read from “{path}”: {error}"};
inline constexpr Kind FileWriteError{"IO::FileWriteError", "The system failed to write to “{path}”: {error}"};
inline constexpr Kind FileCloseError{"IO::FileCloseError", "The system failed to close “{path}”: {error}"};
inline constexpr Kind NotARegularFile{"IO::NotARegularFile", "“{path}” is not a regular file; it is not used."};
inline constexpr Kind DirectoryOpenError{"IO::DirectoryOpenError", "The system failed to open the directory “{path}”: {error}"};
inline constexpr Kind FlockError{"IO::FlockError", "The system failed to lock “{path}” ({operation}): {error}"};
inline constexpr Kind PipeError{"IO::PipeError", "The system failed to create a pipe: {error}"};
inline constexpr Kind DupError{"IO::DupError", "The system failed to duplicate a file descriptor: {error}"};
inline constexpr Kind ReadError{"IO::ReadError", "The system failed to read {length} bytes for “{command}”: {error}"};
inline constexpr Kind WriteError{"IO::WriteError", "The system failed to write {length} bytes to “{command}”: {error}"};
inline constexpr Kind ForkError{"IO::ForkError", "The system failed to fork: {error}"};
inline constexpr Kind ChdirError{"IO::ChdirError", "The system failed to change the directory to “{path}”: {error}"};
}  // namespace IO

namespace ProcessFailed {
inline constexpr Kind Error{"ProcessFailed::Error", "“{program}” ended with exit code {error_code}."};
inline constexpr Kind Signal{"ProcessFailed::Signal", "“{program}” ended because of signal {signal_code}."};
inline constexpr Kind Timeout{"ProcessFailed::Timeout", "“{program}” (pid {pid}) did not finish within {timeout} seconds."};
inline constexpr Kind Exec{"ProcessFailed::Exec", "The system failed to execute “{program}”: {error}"};
}  // namespace ProcessFailed

namespace ProcessCheck {
inline constexpr Kind CommandMismatch{"ProcessCheck::CommandMismatch",
                                      "The process with ID “{pid}” runs “{cmdline}”, which does not match “{pattern}”."};
inline constexpr Kind IgnoredCommand{"ProcessCheck::IgnoredCommand",
                                     "The process with ID “{pid}” runs “{cmdline}”, which is not an instance of the service."};
inline constexpr Kind OwnerMismatch{"ProcessCheck::OwnerMismatch",
                                    "The process with ID “{pid}” runs as user ID {actual_uid}, not {expected_uid}."};
}  // namespace ProcessCheck

}  // namespace Vexlan::Exception::Kinds
