#include "Exception/Catalogue.hpp"

#include <array>
#include <utility>

namespace Vexlan::Exception {

namespace {
constexpr std::array<std::pair<std::string_view, std::string_view>, 34> kTemplates{{
    {"Services::NotConfigured", "The service “{service}” is not configured: {reason}"},
    {"Services::NotInstalled", "The service “{service}” is not installed."},
    {"Services::Disabled", "The service “{service}” is disabled."},
    {"Services::StartFailed", "The service “{service}” failed to start."},
    {"Services::RestartFailed", "The service “{service}” failed to restart."},
    {"Services::ReloadFailed", "The service “{service}” failed to reload."},
    {"Services::Down", "The service “{service}” is down."},
    {"Services::NoBinary", "The binary “{path}” for the service “{service}” is missing or not executable: {error}"},
    {"Services::RoleDisabled", "The service “{service}” is not needed by any enabled server role."},
    {"Services::Unknown", "The service “{service}” is unknown: it has no service class, init script or systemd unit."},
    {"IO::FileOpenError", "The system failed to open “{path}” ({mode}): {error}"},
    {"IO::FileReadError", "The system failed to read from “{path}”: {error}"},
    {"IO::FileWriteError", "The system failed to write to “{path}”: {error}"},
    {"IO::FileCloseError", "The system failed to close “{path}”: {error}"},
    {"IO::DirectoryOpenError", "The system failed to open the directory “{path}”: {error}"},
    {"IO::FlockError", "The system failed to lock “{path}” ({operation}): {error}"},
    {"IO::PipeError", "The system failed to create a pipe: {error}"},
    {"IO::DupError", "The system failed to duplicate a file descriptor: {error}"},
    {"IO::ReadError", "The system failed to read {length} bytes for “{command}”: {error}"},
    {"IO::WriteError", "The system failed to write {length} bytes to “{command}”: {error}"},
    {"IO::ForkError", "The system failed to fork: {error}"},
    {"IO::ChdirError", "The system failed to change the directory to “{path}”: {error}"},
    {"ProcessFailed::Error", "“{program}” ended with exit code {error_code}."},
    {"ProcessFailed::Signal", "“{program}” ended because of signal {signal_code}."},
    {"ProcessFailed::Timeout", "“{program}” (pid {pid}) did not finish within {timeout} seconds."},
    {"ProcessFailed::Exec", "The system failed to execute “{program}”: {error}"},
    {"ModuleLoadError", "The module “{module}” failed to load: {error}"},
    {"InvalidParameter", "Invalid parameter: {message}"},
    {"Timeout", "The operation did not finish within {timeout} seconds."},
    {"SystemCall", "The system call “{name}” failed: {error}"},
    {"Proc::Ended", "The process with ID “{pid}” is not running."},
    {"ProcessCheck::CommandMismatch", "The process with ID “{pid}” runs “{cmdline}”, which does not match “{pattern}”."},
    {"ProcessCheck::IgnoredCommand", "The process with ID “{pid}” runs “{cmdline}”, which is not an instance of the service."},
    {"ProcessCheck::OwnerMismatch", "The process with ID “{pid}” runs as user ID {actual_uid}, not {expected_uid}."},
}};
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kMore{{
    {"UserNotFound", "The user “{name}” does not exist."},
    {"Lock::NotObtained", "The lock “{path}” for the service “{service}” was not obtained within {timeout} seconds."},
    {"Generic", "{message}"},
}};
}  // namespace

std::string_view catalogue_template(std::string_view type) {
    for (const auto& [name, text] : kTemplates)
        if (name == type) return text;
    for (const auto& [name, text] : kMore)
        if (name == type) return text;
    return {};
}

}  // namespace Vexlan::Exception
