// /proc/<pid>/stat records and command lines: a process names itself, so its comm field
// may hold spaces, parentheses and anything else.
#include <cstdint>
#include <string>

#include "Process/ProcFs.hpp"
#include "Process/PsParser/PsParser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Vexlan::ProcFs::StatView view;
    Vexlan::ProcFs::parse_stat_view(text, view);
    if (auto stat = Vexlan::ProcFs::parse_stat(text)) (void)stat->comm;
    (void)Vexlan::PsParser::split_words(text);
    return 0;
}
