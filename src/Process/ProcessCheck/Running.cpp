#include "Process/ProcessCheck/Running.hpp"

#include <fmt/ranges.h>

#include "Exception/Exception.hpp"
#include "Process/PwUtils/PwUtils.hpp"
#include "Process/Command/Command.hpp"

namespace Vexlan::ProcessCheck {

namespace {
Regex pattern_of(const Running::Options& o) {
    if (o.pattern) return *o.pattern;
    if (!o.pattern_text || o.pattern_text->empty())
        throw Exception::create(Exception::Kinds::InvalidParameter,
                                {{"message", "The option “pattern” is required."}});
    return Regex(Regex::quote(*o.pattern_text));
}
}  // namespace

Running::Running(const Options& o)
    : pattern_(pattern_of(o)),
      pattern_text_(o.pattern ? o.pattern->pattern() : o.pattern_text.value_or("")),
      use_services_ignore_(o.use_services_ignore) {
    pid_ = std::make_unique<Proc::PID>(o.pid);
    if (o.user.empty())
        throw Exception::create(Exception::Kinds::InvalidParameter,
                                {{"message", "The option “user” is required."}});
    uid_ = PwUtils::normalize_to_uid(o.user);
}

int Running::check_all() {
    const std::string cmdline = fmt::format("{}", fmt::join(pid_->cmdline(), " "));
    auto quiet = Exception::get_stack_trace_suppressor();
    // An empty command line (kernel thread, zombie) is never the service.
    if (cmdline.empty() || !pattern_.match(cmdline))
        throw Exception::create(
            Exception::Kinds::ProcessCheck::CommandMismatch,
            {{"pid", std::to_string(pid_->pid())}, {"pattern", pattern_text_}, {"cmdline", cmdline}});
    if (use_services_ignore_ && Services::Command::should_ignore_this_command(cmdline))
        throw Exception::create(Exception::Kinds::ProcessCheck::IgnoredCommand,
                                {{"pid", std::to_string(pid_->pid())}, {"cmdline", cmdline}});
    std::string actual = std::to_string(pid_->uid());
    if (actual != uid_)
        throw Exception::create(
            Exception::Kinds::ProcessCheck::OwnerMismatch,
            {{"pid", std::to_string(pid_->pid())}, {"expected_uid", uid_}, {"actual_uid", actual}});
    return 1;
}

}  // namespace Vexlan::ProcessCheck
