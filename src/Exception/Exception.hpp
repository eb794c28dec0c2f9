#pragma once
// Typed errors of the whole program. One C++ class carries every kind; the kind is a
// path-like name ("Services::Down") whose prefixes are its ancestors, so membership
// tests by class name work without a C++ type per kind and `create` can build any
// kind by name.
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "Exception/Kinds.hpp"

namespace Vexlan::Exception {

using Fields = nlohmann::json;

inline constexpr std::string_view kClassPrefix = "Vexlan::Exception::";

class Base : public std::exception {
public:
    Base(std::string type, Fields fields, std::optional<std::string> message_template, bool raw);

    // Short kind ("Services::Down") and full class name ("Vexlan::Exception::Services::Down").
    const std::string& type() const { return type_; }
    std::string class_name() const;
    // True when this error is of the kind or one of its descendants.
    bool isa(const Kind& kind) const;
    // The same by class name: the full name or the short kind.
    bool isa_name(std::string_view class_name) const;

    std::string to_string() const;
    std::string to_string_no_id() const;
    const std::string& id() const { return id_; }
    const std::string& longmess() const { return longmess_; }

    // A field given at creation; null when absent.
    const nlohmann::json& get(std::string_view field) const;
    std::string get_string_field(std::string_view field) const;
    const Fields& fields() const { return fields_; }

    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::string render() const;

    std::string type_;
    Fields fields_;
    std::optional<std::string> template_;
    bool raw_ = false;
    std::string id_;
    std::string longmess_;
    std::string what_;
};

// Builds an error of the kind with the kind's message.
Base create(const Kind& kind, Fields fields = Fields::object());
// The same with an explicit message template; "{name}" is replaced by the field's text.
Base create(const Kind& kind, std::string message_template, Fields fields);
// An error whose message is `text` as it stands.
Base create_raw(const Kind& kind, std::string text);
// Builds an error by kind name, for names that arrive as data (a forked child's report).
Base create_by_name(std::string_view type, Fields fields = Fields::object());

// Renders any raised value as text.
std::string get_string(const std::exception& e);
std::string get_string(std::exception_ptr e);

// While a suppressor lives, errors created in this process carry no stack trace.
class StackTraceSuppressor {
public:
    StackTraceSuppressor();
    ~StackTraceSuppressor();
    StackTraceSuppressor(StackTraceSuppressor&& other) noexcept;
    StackTraceSuppressor(const StackTraceSuppressor&) = delete;
    StackTraceSuppressor& operator=(const StackTraceSuppressor&) = delete;
    StackTraceSuppressor& operator=(StackTraceSuppressor&&) = delete;

private:
    bool active_ = true;
};
[[nodiscard]] StackTraceSuppressor get_stack_trace_suppressor();
bool stack_traces_suppressed();

// The current stack as text, one frame per line.
std::string current_stack_trace(int skip_frames = 1);

// Text of a field value: strings as they stand, an "error" errno number as its message.
std::string field_text(std::string_view name, const nlohmann::json& value);

}  // namespace Vexlan::Exception
