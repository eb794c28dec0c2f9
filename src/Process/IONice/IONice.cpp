#include "Process/IONice/IONice.hpp"

#include <unistd.h>

#include <map>

#include <fmt/format.h>

#include "Binaries/Binaries.hpp"
#include "Output/Debug.hpp"
#include "SafeRun/Simple.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::IONice {

namespace {
std::optional<std::string> tool() {
    try {
        auto path = Binaries::path("ionice");
        if (path && FileUtils::is_executable_file(*path)) return path;
    } catch (...) {
        // no table knows it: no tool
    }
    return std::nullopt;
}

std::optional<int> run(std::vector<std::string> command) {
    SafeRun::Simple::saferun(command);
    return last_child_status() == 0 ? 1 : 0;
}
}  // namespace

std::optional<int> ionice(const std::string& io_class, const std::string& class_data) {
    static const std::map<std::string, std::string> kClasses = {{"none", "0"}, {"realtime", "1"}, {"best-effort", "2"}, {"idle", "3"}};
    static const Regex kClass(R"(^[0-3]$)"), kData(R"(^[0-7]$)");
    std::string cls = io_class;
    if (!kClass.match(cls)) {
        auto it = kClasses.find(cls);
        if (it == kClasses.end()) {
            Debug::log_warn(fmt::format("“{}” is not an I/O scheduling class.", io_class));
            return std::nullopt;
        }
        cls = it->second;
    }
    if (!kData.match(class_data)) {
        Debug::log_warn(fmt::format("“{}” is not an I/O scheduling level (0 to 7).", class_data));
        return std::nullopt;
    }
    auto program = tool();
    if (!program) return std::nullopt;
    std::vector<std::string> command = {*program};
    if (::geteuid() == 0) command.insert(command.end(), {"-c", cls});
    command.insert(command.end(), {"-n", class_data, "-p", std::to_string(::getpid())});
    return run(command);
}

std::optional<int> reset() {
    auto program = tool();
    if (!program) return std::nullopt;
    return run({*program, "-c", "0", "-p", std::to_string(::getpid())});
}

std::optional<std::string> get_ionice() {
    auto program = tool();
    if (!program) return std::nullopt;
    auto out = SafeRun::Simple::saferun({*program, "-p", std::to_string(::getpid())});
    if (!out) return std::nullopt;
    while (!out->empty() && out->back() == '\n') out->pop_back();
    return out;
}

}  // namespace Vexlan::IONice
