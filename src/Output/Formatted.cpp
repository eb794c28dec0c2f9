#include "Output/Formatted.hpp"

#include <fmt/format.h>

#include "SafeRun/Simple.hpp"

namespace Vexlan {

std::vector<std::string> split_message_lines(const std::string& text) { return SafeRun::Errors::split_lines(text); }

Output::Formatted::Formatted(OutputOptions options) : Output(std::move(options)) { reset(); }

bool Output::Formatted::reset() {
    indent_level_ = 0;
    last_message_had_newline_ = true;
    return true;
}

std::string Output::Formatted::format_message(const std::string& colour, const std::string& text) {
    return format_text(colour, text);
}

void Output::Formatted::message(const std::string& kind, const nlohmann::json& contents, const nlohmann::json& source,
                              int partial, int prepend) {
    std::string text;
    const nlohmann::json& body = contents.is_object() && contents.contains("msg") ? contents["msg"] : contents;
    if (body.is_string())
        text = body.get<std::string>();
    else if (body.is_array()) {
        for (size_t i = 0; i < body.size(); ++i) {
            if (i) text += ' ';
            if (body[i].is_string()) text += body[i].get<std::string>();
        }
    } else if (!body.is_null()) {
        text = body.dump() + " (an object was given where text was expected)";
    }

    const nlohmann::json& src = source.is_null() ? source_ : source;
    std::string colour;
    if (kind == "error" || kind == "fail" || kind == "exception")
        colour = ERROR_COLOR;
    else if (kind == "warn")
        colour = WARN_COLOR;
    else if (kind == "success")
        colour = SUCCESS_COLOR;
    else if (kind == "header")
        colour = HEADER_COLOR;
    else if (kind == "out" || kind == "debug")
        colour = (src.is_object() && src.contains("host")) ? REMOTE_COLOR : "";
    else {
        std::string described = "[" + kind + "] ";
        if (contents.is_object()) {
            for (auto it = contents.begin(); it != contents.end(); ++it)
                described += it.key() + "=" + (it->is_string() ? it->get<std::string>() : it->dump()) + " ";
        } else {
            described += text;
        }
        text = described;
    }
    // A warning or error that arrives while a progress line is open gets a line of its own;
    // the progress goes on below it.
    const bool interrupts = kind == "warn" || kind == "error" || kind == "debug";
    if (interrupts && !last_message_had_newline_ && screen_line_open) {
        emit(new_line());
        last_message_had_newline_ = true;
    }
    safe_render_message(text, colour, partial, prepend);
}

void Output::Formatted::safe_render_message(const std::string& text, const std::string& colour, int partial, int prepend) {
    const bool ends_with_newline = !text.empty() && text.back() == '\n';
    std::vector<std::string> lines = split_message_lines(text);
    if (lines.empty()) lines.emplace_back();

    std::vector<bool> line_end(lines.size(), true);
    bool ended;
    if (lines.size() == 1) {
        ended = !partial || ends_with_newline;
        line_end[0] = ended;
    } else {
        if (partial && !ends_with_newline) line_end.back() = false;
        ended = line_end.back();
    }

    // Every line of one message is indented alike: the flag changes only afterwards.
    // Someone else (the logger) may have ended the open line since.
    const bool at_line_start = last_message_had_newline_ || !screen_line_open;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string out;
        std::string ind = at_line_start ? indent() : "";
        std::string pre = prepend ? prepend_message() : "";
        out = indent_after_prepend() ? pre + ind : ind + pre;
        out += format_message(colour, lines[i]);
        if (line_end[i]) out += new_line();
        if (!parent_.is_null()) out = job_prefix() + out;
        emit(out);
    }
    last_message_had_newline_ = ended;
    screen_line_open = !ended;
}

std::string Output::Formatted::fixed_width(const std::string& text, size_t width, bool right_align) {
    // Count UTF-8 characters: continuation bytes (10xxxxxx) do not start one.
    std::string cut;
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80) {
            if (chars == width) break;
            ++chars;
        }
        cut += text[i];
    }
    std::string pad(width - chars, ' ');
    return right_align ? pad + cut : cut + pad;
}

std::string Output::Formatted::job_prefix() {
    auto piece = [](std::map<std::string, std::string>& cache, const std::string& value, size_t width, bool right) {
        auto it = cache.find(value);
        if (it != cache.end()) return it->second;
        return cache[value] = fixed_width(value, width, right);
    };
    auto text_of = [](const nlohmann::json& v) {
        if (v.is_string()) return v.get<std::string>();
        if (v.is_null()) return std::string();
        return v.dump();
    };
    const nlohmann::json& contents = parent_.contains("contents") ? parent_["contents"] : nlohmann::json::object();
    std::string pid = piece(fmt_cache_pid_, text_of(parent_.value("pid", nlohmann::json())), 6, true);
    std::string label = piece(fmt_cache_queue_child_number_,
                              text_of(contents.value("queue", nlohmann::json())) + ":" +
                                  text_of(contents.value("child_number", nlohmann::json())),
                              10, false);
    std::string item_name = piece(fmt_cache_item_name_, text_of(contents.value("item_name", nlohmann::json())), 1, false);
    std::string item = piece(fmt_cache_item_, text_of(contents.value("item", nlohmann::json())), 16, false);
    return format_text(PREFIX_COLOR, "[" + pid + " " + label + " " + item_name + " " + item + "]") + " ";
}

}  // namespace Vexlan
