#include "Output/Carp.hpp"

#include "Exception/Exception.hpp"
#include "Util/Regex.hpp"

namespace Vexlan::Carp {

std::string safe_longmess(const std::string& message) {
    static const Regex kSensitive(R"(pass(?:word|wd)?|secret|token|api_?key|private_?key)", Regex::CASELESS);
    std::string trace = Exception::current_stack_trace(2);
    std::string out = message;
    if (!out.empty() && out.back() != '\n') out += '\n';
    size_t start = 0;
    while (start < trace.size()) {
        size_t nl = trace.find('\n', start);
        std::string frame = trace.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        out += kSensitive.match(frame) ? "\t[a frame with sensitive arguments was masked]" : frame;
        out += '\n';
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return out;
}

}  // namespace Vexlan::Carp
