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
            uint64_t wanted = hard;
            if (root && (resource == "AS" || resource == "DATA" || resource == "RSS" || resource == "CPU" || resource == "FSIZE" ||
                         resource == "MEMLOCK"))
                wanted = UNLIMITED;
            else if (root && resource == "NOFILE")
                wanted = std::max<uint64_t>(hard == UNLIMITED ? nr_open : hard, nr_open);
            if (wanted != hard) {
                // Raising a hard limit needs CAP_SYS_RESOURCE, which a confined root may lack:
                // then the soft limit still goes up to the hard one.
                try {
                    Sys::Rlimit::setrlimit(resource, wanted, wanted);
                    continue;
                } catch (const Exception::Base&) {
                }
            }
            if (soft != hard) Sys::Rlimit::setrlimit(resource, hard, hard);
        } catch (const Exception::Base& e) {
            failures += fmt::format("{}: {}; ", resource, e.to_string_no_id());
        }
    }
    if (!failures.empty()) Debug::log_warn("Some resource limits could not be lifted: " + failures);
}

}  // namespace Vexlan::Rlimit::Unset
