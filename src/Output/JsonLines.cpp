#include "Output/JsonLines.hpp"

namespace Vexlan {

void JsonLinesOutput::message(const std::string& kind, const nlohmann::json& contents,
                              const nlohmann::json& source, int partial, int /*prepend*/) {
    // The blank separator line of the text display ("\n") tells a program nothing.
    if (contents.is_string() && contents.get_ref<const std::string&>() == "\n") return;
    // The program's own pid is named as such: a reader looking for the service's main pid
    // finds it in the result record, and must not take this one for it.
    nlohmann::json r = record(kind, contents, source, partial);
    r["program_pid"] = r["pid"];
    r.erase("pid");
    emit(dump(r) + "\n");
}

void JsonLinesOutput::write_record(const nlohmann::json& record) const {
    emit(dump(record) + "\n");
}

}  // namespace Vexlan
