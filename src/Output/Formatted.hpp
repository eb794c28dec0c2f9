#pragma once
// Line-oriented rendering of output messages: indentation, partial lines, colour per
// kind and an optional job prefix.
#include <map>
#include <string>
#include <vector>

#include "Output/Output.hpp"

namespace Vexlan {

class Output::Formatted : public Output {
public:
    explicit Formatted(OutputOptions options = {});

    class Plain;
    class Terminal;
    class HTML;

    bool reset();
    void message(const std::string& kind, const nlohmann::json& contents, const nlohmann::json& source, int partial,
                 int prepend) override;
    std::string format_message(const std::string& colour, const std::string& text);

    // Colour attribute strings of the kinds.
    static constexpr const char* ERROR_COLOR = "bold red";
    static constexpr const char* WARN_COLOR = "bold yellow";
    static constexpr const char* SUCCESS_COLOR = "bold green";
    static constexpr const char* HEADER_COLOR = "bold blue";
    static constexpr const char* REMOTE_COLOR = "magenta";
    static constexpr const char* PREFIX_COLOR = "cyan";

    // Truncates to `width` characters (not bytes), then pads left (right-aligned) or right.
    static std::string fixed_width(const std::string& text, size_t width, bool right_align);

protected:
    void safe_render_message(const std::string& text, const std::string& colour, int partial, int prepend);
    virtual std::string indent() const = 0;
    virtual std::string format_text(const std::string& colour, const std::string& text) = 0;
    virtual std::string new_line() const = 0;
    virtual std::string prepend_message() const { return ""; }
    virtual bool indent_after_prepend() const { return true; }
    virtual std::string job_prefix();

    bool last_message_had_newline_ = true;
    std::map<std::string, std::string> fmt_cache_pid_, fmt_cache_queue_child_number_, fmt_cache_item_name_,
        fmt_cache_item_;
};

class Output::Formatted::Plain : public Output::Formatted {
public:
    using Formatted::Formatted;

protected:
    std::string indent() const override { return std::string(indent_level_, '\t'); }
    std::string format_text(const std::string&, const std::string& text) override { return text; }
    std::string new_line() const override { return "\n"; }
};

// Splits at "\n" the way the message renderer does: trailing empty pieces dropped.
std::vector<std::string> split_message_lines(const std::string& text);

}  // namespace Vexlan
