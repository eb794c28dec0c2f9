#include "Exception/Kinds.hpp"

#include <array>

namespace Vexlan::Exception {

namespace {
namespace K = Kinds;
// Every kind that has a template, for errors created by name (a forked child's report).
constexpr std::array kAll{
    K::Generic, K::InvalidParameter, K::MissingParameter, K::ModuleLoadError, K::Timeout, K::SystemCall, K::UserNotFound,
    K::NotPrivileged, K::RoleDisabled, K::AbstractMethod, K::OSUnknown, K::OSUnsupportedFact, K::ConfigLoad,
    K::LockNotObtained, K::ProcEnded, K::Services::NotConfigured, K::Services::NotInstalled, K::Services::Disabled,
    K::Services::StartFailed, K::Services::StopFailed, K::Services::RestartFailed, K::Services::ReloadFailed,
    K::Services::Down, K::Services::Starting, K::Services::Stopping, K::Services::Undetermined, K::Services::NoBinary, K::Services::RoleDisabled, K::Services::Unknown,
    K::IO::FileOpenError, K::IO::FileReadError, K::IO::FileWriteError, K::IO::FileCloseError, K::IO::NotARegularFile,
    K::IO::DirectoryOpenError, K::IO::FlockError, K::IO::PipeError, K::IO::DupError, K::IO::ReadError, K::IO::WriteError,
    K::IO::ForkError, K::IO::ChdirError, K::ProcessFailed::Error, K::ProcessFailed::Signal, K::ProcessFailed::Timeout,
    K::ProcessFailed::Exec, K::ProcessCheck::CommandMismatch, K::ProcessCheck::IgnoredCommand,
    K::ProcessCheck::OwnerMismatch,
};
}  // namespace

std::string_view catalogue_template(std::string_view name) {
    for (const Kind& k : kAll)
        if (k.name() == name) return k.message_template();
    return {};
}

}  // namespace Vexlan::Exception
