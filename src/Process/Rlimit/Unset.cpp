#include "Process/Rlimit/Unset.hpp"

#include <unistd.h>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"
#include "Process/Rlimit/Rlimit.hpp"
#include "Process/Syscall/Syscall.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::Rlimit::Unset {

void unset_rlimits() {
    // A daemon must not inherit the limits of whoever started this program (a cron job, a
    // monitor with a memory cap): as root the limits on memory, processor time, file size
    // and locked memory go, open files go to the kernel's maximum, and every other soft
    // limit rises to its hard one. Core files stay as they are.
    const bool root = ::geteuid() == 0;
    uint64_t nr_open = 1048576;
    if (auto text = FileUtils::read_first_line(Paths::get(Paths::Key::ProcRoot) + "/sys/fs/nr_open"))
        nr_open = Number::parse_trimmed<uint64_t>(*text).value_or(nr_open);
    std::string failures;
    for (const auto& [resource, number] : Sys::Rlimit::RLIMITS()) {
        if (resource == "CORE") continue;
        try {
            auto [soft, hard] = Sys::Rlimit::getrlimit(resource);
            if (root && (resource == "AS" || resource == "DATA" || resource == "RSS" || resource == "CPU" || resource == "FSIZE" ||
                         resource == "MEMLOCK"))
                soft = hard = RLIM_INFINITY;
            else if (root && resource == "NOFILE")
                soft = hard = std::max<uint64_t>(hard == RLIM_INFINITY ? nr_open : hard, nr_open);
            else
                soft = hard;
            Sys::Rlimit::setrlimit(resource, soft, hard);
        } catch (const Exception::Base& e) {
            failures += fmt::format("{}: {}; ", resource, e.to_string_no_id());
        }
    }
    if (!failures.empty()) Debug::log_warn("Some resource limits could not be lifted: " + failures);
}

}  // namespace Vexlan::Rlimit::Unset
