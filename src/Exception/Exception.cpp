#include "Exception/Exception.hpp"

#include <cxxabi.h>
#include <execinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <sstream>

#include "Exception/Kinds.hpp"
#include "Util/Text.hpp"

namespace Vexlan::Exception {

namespace {
int g_suppressors = 0;

std::string make_id() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 rng{std::random_device{}() ^ static_cast<unsigned>(getpid())};
    std::uniform_int_distribution<int> pick(0, sizeof(kAlphabet) - 2);
    std::string id = "XID ";
    for (int i = 0; i < 6; ++i) id += kAlphabet[pick(rng)];
    return id;
}

std::string strip_prefix(std::string_view name) {
    if (name.starts_with(kClassPrefix)) name.remove_prefix(kClassPrefix.size());
    return std::string(name);
}

std::string substitute(std::string_view tmpl, const Fields& fields) {
    std::string out;
    out.reserve(tmpl.size() + 32);
    for (size_t i = 0; i < tmpl.size();) {
        if (tmpl[i] == '{') {
            size_t close = tmpl.find('}', i);
            if (close != std::string_view::npos) {
                std::string name(tmpl.substr(i + 1, close - i - 1));
                if (fields.is_object() && fields.contains(name)) {
                    // Fields carry what others chose (service names, command lines, what
                    // a daemon said): never a control character raw on root's terminal.
                    out += Text::escape_control_keep_lines(field_text(name, fields.at(name)), Text::Backslashes::Keep);
                } else {
                    out += "";
                }
                i = close + 1;
                continue;
            }
        }
        out += tmpl[i++];
    }
    return out;
}
}  // namespace

std::string field_text(std::string_view name, const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_null()) return "";
    if (name == "error" && value.is_number_integer()) {
        int err = value.get<int>();
        return std::strerror(err);
    }
    if (value.is_array()) {
        std::string out;
        for (const auto& v : value) {
            if (!out.empty()) out += ' ';
            out += field_text("", v);
        }
        return out;
    }
    return value.dump();
}

std::string current_stack_trace(int skip_frames) {
    void* frames[64];
    int n = backtrace(frames, 64);
    char** symbols = backtrace_symbols(frames, n);
    std::ostringstream out;
    for (int i = skip_frames; i < n; ++i) {
        std::string line = symbols ? symbols[i] : "?";
        // Demangle "binary(mangled+0x12)" for a readable trace.
        auto open = line.find('(');
        auto plus = line.find('+', open == std::string::npos ? 0 : open);
        if (open != std::string::npos && plus != std::string::npos && plus > open + 1) {
            std::string mangled = line.substr(open + 1, plus - open - 1);
            int status = 0;
            char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
            if (status == 0 && demangled) line = line.substr(0, open + 1) + demangled + line.substr(plus);
            std::free(demangled);
        }
        out << "\t" << line << "\n";
    }
    std::free(symbols);
    return out.str();
}

Base::Base(std::string type, Fields fields, std::optional<std::string> message_template, bool raw)
    : type_(strip_prefix(type)),
      fields_(fields.is_object() ? std::move(fields) : Fields::object()),
      template_(std::move(message_template)),
      raw_(raw),
      id_(make_id()) {
    if (!stack_traces_suppressed()) longmess_ = current_stack_trace(3);
    what_ = to_string();
}

std::string Base::class_name() const { return std::string(kClassPrefix) + type_; }

bool Base::isa(const Kind& kind) const { return isa_name(kind.name()); }

bool Base::isa_name(std::string_view name) const {
    std::string wanted = strip_prefix(name);
    if (name == "Vexlan::Exception" || wanted.empty()) return true;
    if (wanted == type_) return true;
    return type_.size() > wanted.size() && type_.starts_with(wanted) && type_.compare(wanted.size(), 2, "::") == 0;
}

std::string Base::render() const {
    if (raw_) return template_.value_or("");
    if (template_) return substitute(*template_, fields_);
    std::string_view tmpl = catalogue_template(type_);
    if (!tmpl.empty()) return substitute(tmpl, fields_);
    // A kind without a catalogue entry still says what happened and with what.
    std::string out = class_name();
    if (fields_.contains("message")) return Text::escape_control_keep_lines(field_text("message", fields_["message"]), Text::Backslashes::Keep);
    for (auto it = fields_.begin(); it != fields_.end(); ++it)
        out += " " + it.key() + "=" + Text::escape_control_keep_lines(field_text(it.key(), it.value()), Text::Backslashes::Keep);
    return out;
}

std::string Base::to_string() const { return "(" + id_ + ") " + render(); }
std::string Base::to_string_no_id() const { return render(); }

const nlohmann::json& Base::get(std::string_view field) const {
    static const nlohmann::json kNull;
    auto it = fields_.find(std::string(field));
    return it == fields_.end() ? kNull : *it;
}

std::string Base::get_string_field(std::string_view field) const { return field_text(field, get(field)); }

Base create(const Kind& kind, Fields fields) {
    return Base(std::string(kind.name()), std::move(fields), std::nullopt, false);
}

Base create(const Kind& kind, std::string message_template, Fields fields) {
    return Base(std::string(kind.name()), std::move(fields), std::move(message_template), false);
}

Base create_raw(const Kind& kind, std::string text) {
    return Base(std::string(kind.name()), Fields::object(), std::move(text), true);
}

Base create_by_name(std::string_view type, Fields fields) {
    return Base(std::string(type), std::move(fields), std::nullopt, false);
}

std::string get_string(const std::exception& e) {
    if (auto* b = dynamic_cast<const Base*>(&e)) return b->to_string();
    return e.what();
}

std::string get_string(std::exception_ptr e) {
    if (!e) return "";
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return get_string(ex);
    } catch (const std::string& s) {
        return s;
    } catch (const char* s) {
        return s ? s : "";
    } catch (...) {
        return "unknown error";
    }
}

StackTraceSuppressor::StackTraceSuppressor() { ++g_suppressors; }
StackTraceSuppressor::~StackTraceSuppressor() {
    if (active_) --g_suppressors;
}
StackTraceSuppressor::StackTraceSuppressor(StackTraceSuppressor&& other) noexcept { other.active_ = false; }

StackTraceSuppressor get_stack_trace_suppressor() { return StackTraceSuppressor(); }
bool stack_traces_suppressed() { return g_suppressors > 0; }

}  // namespace Vexlan::Exception
