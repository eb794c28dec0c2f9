// Option lists and invocation names: whatever a caller puts on the command line.
#include <cstdint>
#include <string>
#include <vector>

#include "Entry/Invocation.hpp"
#include "Exception/Exception.hpp"
#include "CommandLine/ParseArgv.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Arguments separated by NUL, the way the kernel hands them over.
    std::vector<std::string> args;
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    args.push_back(word);
    std::vector<std::string> rest;
    try {
        (void)Vexlan::RestartSrv::parse_option_list(args, rest);
    } catch (const Vexlan::Exception::Base&) {
        // a refused option list is an answer
    }
    (void)scripts::restartsrv_base::service_from_invocation(args.front());
    (void)scripts::restartsrv_base::normalize_command_line(
        std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
