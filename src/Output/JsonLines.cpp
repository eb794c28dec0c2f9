#include "Output/JsonLines.hpp"

namespace Vexlan {

void JsonLinesOutput::message(const std::string& kind, const nlohmann::json& contents,
                              const nlohmann::json& source, int partial, int /*prepend*/) {
    // The blank separator line of the text display ("\n") tells a program nothing.
    if (contents.is_string() && contents.get_ref<const std::string&>() == "\n") return;
    emit(dump(record(kind, contents, source, partial)) + "\n");
}

void JsonLinesOutput::write_record(const nlohmann::json& record) const {
    emit(dump(record) + "\n");
}

}  // namespace Vexlan
