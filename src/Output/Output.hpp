#pragma once
// Everything the person who ran the program sees goes through one output object. The
// base class renders each message as a JSON record between markers; the Formatted
// family renders text lines.
#include <nlohmann/json.hpp>
#include <string>

#include "SafeRun/Finally.hpp"

namespace Vexlan {

struct OutputOptions {
    int filehandle = 1;               // destination descriptor
    nlohmann::json parent = nullptr;  // job record: pid, contents{queue, child_number, item_name, item}
};

class Output {
  public:
    class Formatted;

    static constexpr int COMPLETE_MESSAGE = 0;
    static constexpr int PARTIAL_MESSAGE = 1;
    static constexpr int SOURCE_LOCAL = 0;
    static constexpr int SOURCE_REMOTE = 1;
    static constexpr int PREPENDED_MESSAGE = 1;
    static constexpr int NOT_PREPENDED_MESSAGE = 0;
    static inline const char* SOURCE_NONE = "";
    // When false, debug messages are dropped.
    static inline bool debug_enabled = false;
    // True while a line a person reads is left open on the screen (a progress line): a
    // writer that bypasses this object (the logger's terminal copy) ends it first.
    static inline bool screen_line_open = false;
    // The object the person who ran the program reads, for code below the service object
    // that has none of its own (a kill's progress): null, such code writes plain lines.
    static inline Output* screen = nullptr;

    explicit Output(OutputOptions options = {});
    virtual ~Output() = default;

    // `source` null means the object's default source.
    virtual void message(const std::string& kind, const nlohmann::json& contents,
                         const nlohmann::json& source, int partial, int prepend);

    void error(const nlohmann::json& contents, const nlohmann::json& source = nullptr, int partial = 0,
               int prepend = 0);
    void warn(const nlohmann::json& contents, const nlohmann::json& source = nullptr, int partial = 0,
              int prepend = 0);
    void warning(const nlohmann::json& c, const nlohmann::json& s = nullptr, int p = 0, int pr = 0) {
        warn(c, s, p, pr);
    }
    void success(const nlohmann::json& contents, const nlohmann::json& source = nullptr, int partial = 0,
                 int prepend = 0);
    void out(const nlohmann::json& contents, const nlohmann::json& source = nullptr, int partial = 0,
             int prepend = 0);
    void info(const nlohmann::json& c, const nlohmann::json& s = nullptr, int p = 0, int pr = 0) {
        out(c, s, p, pr);
    }
    void debug(const nlohmann::json& contents, const nlohmann::json& source = nullptr, int partial = 0,
               int prepend = 0);

    // Sends a line of foreign text (a log line) as error, warning or plain output.
    std::string output_highlighted_message(const std::string& line);
    // The kind output_highlighted_message would choose: "error", "warn" or "out".
    static std::string classify_line(const std::string& line);
    // A header, then each non-empty line of `text` one level deeper, then a closing line.
    void display_message_set(const std::string& header, const std::string& text);

    unsigned increase_indent_level();
    // The new level; the level never goes below 0 (a warning says so).
    unsigned decrease_indent_level();
    unsigned get_indent_level() const { return indent_level_; }
    void reset_indent_level() { indent_level_ = 0; }
    // Raises the level until the returned guard goes away.
    [[nodiscard]] Finally create_indent_guard();

    void set_source(nlohmann::json source) { source_ = std::move(source); }
    // True when every message is one JSON record on a line of its own, for programs.
    virtual bool writes_json_lines() const { return false; }
    static std::string TO_JSON() { return "Vexlan::Output object"; }
    int filehandle() const { return filehandle_; }

  protected:
    // The record of one message: indent, pid, type, contents, partial and source.
    nlohmann::json record(const std::string& kind, const nlohmann::json& contents,
                          const nlohmann::json& source, int partial) const;
    // The record as one line of JSON text (invalid UTF-8 replaced, never an exception).
    static std::string dump(const nlohmann::json& record);
    // Writes all of `text` to the filehandle; write errors are not reported.
    void emit(const std::string& text) const;

    int filehandle_;
    nlohmann::json parent_;
    unsigned indent_level_ = 0;
    nlohmann::json source_;
};

}  // namespace Vexlan
