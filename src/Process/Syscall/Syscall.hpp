#pragma once
// System calls by name, for the few the limit and priority tools make directly.
#include <cstdint>
#include <string>
#include <vector>

namespace Vexlan::Syscall {

// The Linux x86-64 number of a call; throws InvalidParameter for a name not in the table.
long name_to_number(const std::string& name);
// Makes the call; a result of -1 raises a SystemCall error with the name, the OS error and
// the arguments.
long syscall(const std::string& name, const std::vector<uintptr_t>& args);

}  // namespace Vexlan::Syscall

namespace Vexlan::Sys::Rlimit {

// The sixteen resources of getrlimit(2) by name.
const std::vector<std::pair<std::string, int>>& RLIMITS();
// A resource given as a number or a name; throws InvalidParameter naming anything else.
int resource_number(const std::string& resource);
// (soft, hard); raises on an unknown resource or a failing call.
std::pair<uint64_t, uint64_t> getrlimit(const std::string& resource);
int setrlimit(const std::string& resource, uint64_t soft, uint64_t hard);

}  // namespace Vexlan::Sys::Rlimit
