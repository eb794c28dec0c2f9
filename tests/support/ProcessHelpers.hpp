#pragma once
// Helpers for tests that start and end real processes of their own.
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Process/ProcFs.hpp"
#include "support/TestSupport.hpp"
#include "Util/Time.hpp"

namespace testing_support {

// A copy of a program under a name no other process on the machine has, so that name
// matching can only ever find the test's own processes.
inline std::string unique_copy(const ScratchDir& dir, const std::string& program, const std::string& stem) {
    std::string path = dir.file(stem + std::to_string(::getpid()));
    std::filesystem::copy_file(program, path);
    ::chmod(path.c_str(), 0755);
    return path;
}

// Waits for an event. The deadline is generous on purpose (tests run side by side on a
// loaded machine): it only bounds a test that is failing anyway.
inline void wait_until(const std::function<bool()>& ready, double seconds = 30) {
    const double deadline = Vexlan::Time::monotonic_seconds_f() + seconds;
    while (!ready() && Vexlan::Time::monotonic_seconds_f() < deadline) Vexlan::Time::sleep_for(0.01);
}

// Waits until the child has exec'd: its command line contains `text`.
inline void wait_for_exec(pid_t pid, const std::string& text) {
    wait_until([&] { return Vexlan::ProcFs::read_cmdline(pid).value_or("").find(text) != std::string::npos; });
}

// Waits until the child's first argument is `argv0` (after an "exec -a").
inline void wait_for_argv0(pid_t pid, const std::string& argv0) {
    wait_until([&] { return Vexlan::ProcFs::read_cmdline(pid).value_or("").starts_with(argv0 + std::string(1, '\0')); });
}

inline bool contains(const std::vector<pid_t>& pids, pid_t p) { return std::find(pids.begin(), pids.end(), p) != pids.end(); }

}  // namespace testing_support
