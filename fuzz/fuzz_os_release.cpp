// The distribution's release description.
#include <cstdint>
#include <string>

#include "Exception/Exception.hpp"
#include "OS/OS.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (bool marker : {false, true}) {
        try {
            (void)Vexlan::OS::parse_os_release(text, marker);
        } catch (const Vexlan::Exception::Base&) {
            // an unsupported distribution is an answer
        }
    }
    return 0;
}
