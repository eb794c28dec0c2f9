// Pidfile contents: users write pidfiles, and a number read from one may be signalled.
#include <cstdint>
#include <string>

#include "Util/Number.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto pid = Vexlan::Number::pid_from_pidfile_text(text)) {
        if (*pid < 2) __builtin_trap();  // never PID 1, 0 or a negative number (a process group)
    }
    (void)Vexlan::Number::parse_pid(text);
    (void)Vexlan::Number::parse_trimmed<int>(text, 0, 65535);
    return 0;
}
