#pragma once
// Confirms that a pid is the service's own process: command line, ignore list, owner.
#include <memory>
#include <optional>
#include <string>

#include "Process/Proc/PID.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::ProcessCheck {

class Running {
public:
    struct Options {
        std::string pid;
        std::string user;
        std::optional<std::string> pattern_text;  // matched literally
        std::optional<Regex> pattern;             // a compiled pattern
        bool use_services_ignore = false;
    };
    explicit Running(const Options& options);

    // 1 when every check passes; otherwise throws the error of the first failed check.
    int check_all();
    Proc::PID& pid_object() { return *pid_; }

private:
    std::unique_ptr<Proc::PID> pid_;
    std::string uid_;
    Regex pattern_;
    std::string pattern_text_;
    bool use_services_ignore_;
};

}  // namespace Vexlan::ProcessCheck
