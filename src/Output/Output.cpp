#include "Output/Output.hpp"

#include <unistd.h>

#include <cstdio>

#include "Util/File.hpp"
#include "Util/Regex.hpp"

namespace Vexlan {

Output::Output(OutputOptions options) : filehandle_(options.filehandle), parent_(std::move(options.parent)) {}

void Output::emit(const std::string& text) const {
    FileUtils::write_all(filehandle_, text);
}

nlohmann::json Output::record(const std::string& kind, const nlohmann::json& contents,
                              const nlohmann::json& source, int partial) const {
    nlohmann::json r = {{"indent", indent_level_},
                        {"pid", ::getpid()},
                        {"type", kind},
                        {"contents", contents},
                        {"partial", partial ? PARTIAL_MESSAGE : COMPLETE_MESSAGE}};
    const nlohmann::json& src = source.is_null() ? source_ : source;
    if (!src.is_null()) r["source"] = src;
    return r;
}

std::string Output::dump(const nlohmann::json& record) {
    return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Output::message(const std::string& kind, const nlohmann::json& contents, const nlohmann::json& source,
                     int partial, int /*prepend*/) {
    // One write per record, so records from several processes never interleave.
    emit("<VXOUT>" + dump(record(kind, contents, source, partial)) + "</VXOUT>\n");
}

void Output::error(const nlohmann::json& c, const nlohmann::json& s, int p, int pr) {
    message("error", c, s, p, pr);
}
void Output::warn(const nlohmann::json& c, const nlohmann::json& s, int p, int pr) {
    message("warn", c, s, p, pr);
}
void Output::success(const nlohmann::json& c, const nlohmann::json& s, int p, int pr) {
    message("success", c, s, p, pr);
}
void Output::out(const nlohmann::json& c, const nlohmann::json& s, int p, int pr) {
    message("out", c, s, p, pr);
}
void Output::debug(const nlohmann::json& c, const nlohmann::json& s, int p, int pr) {
    if (debug_enabled) message("debug", c, s, p, pr);
}

std::string Output::classify_line(const std::string& line) {
    static const Regex kError(
        R"((?:(?:(?<!log-)error|(?<![a-zA-Z\.])err)[\]\s:]|:\s*bad \S+ name|\* (?:DIE|FATAL)|\] E ))",
        Regex::CASELESS);
    static const Regex kWarn(R"((?:warn(?:ing)?[\]\s:]|\] W ))", Regex::CASELESS);
    if (kError.match(line)) return "error";
    if (kWarn.match(line)) return "warn";
    return "out";
}

std::string Output::output_highlighted_message(const std::string& line) {
    std::string kind = classify_line(line);
    message(kind, line, nullptr, COMPLETE_MESSAGE, NOT_PREPENDED_MESSAGE);
    return kind;
}

void Output::display_message_set(const std::string& header, const std::string& text) {
    message("header", "=== " + header + " ===", nullptr, COMPLETE_MESSAGE, NOT_PREPENDED_MESSAGE);
    {
        Finally guard = create_indent_guard();
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
            if (!line.empty()) output_highlighted_message(line);
            if (nl == std::string::npos) break;
            start = nl + 1;
        }
    }
    out("\n");
}

unsigned Output::increase_indent_level() {
    return ++indent_level_;
}

unsigned Output::decrease_indent_level() {
    if (indent_level_ == 0) {
        std::fprintf(stderr, "warn [Output] The indent level is already 0.\n");
        return 0;
    }
    return --indent_level_;
}

Finally Output::create_indent_guard() {
    increase_indent_level();
    return Finally([this]() { decrease_indent_level(); });
}

}  // namespace Vexlan
