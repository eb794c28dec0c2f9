#include "SafeRun/ChildErrorStringifier.hpp"

#include <string.h>

#include <fmt/format.h>

namespace Vexlan {

std::string signal_name_of(int signo) {
    const char* abbrev = ::sigabbrev_np(signo);
    return abbrev ? abbrev : fmt::format("{}", signo);
}

std::optional<int> ChildErrorStringifier::error_code() const {
    if (!child_error_ || *child_error_ == 0) return std::nullopt;
    return (*child_error_ >> 8) & 0xff;
}

std::string ChildErrorStringifier::error_name() const {
    auto code = error_code();
    if (!code || *code == 0) return "";
    const char* name = ::strerrorname_np(*code);
    return name ? name : "";
}

bool ChildErrorStringifier::dumped_core() const { return child_error_ && (*child_error_ & 128); }

std::optional<int> ChildErrorStringifier::signal_code() const {
    if (!child_error_ || *child_error_ == 0) return std::nullopt;
    return *child_error_ & 127;
}

std::string ChildErrorStringifier::signal_name() const {
    auto sig = signal_code();
    if (!sig || *sig == 0) return "";
    return signal_name_of(*sig);
}

std::string ChildErrorStringifier::error_phrase() const {
    std::string who = program().empty() ? "The subprocess" : fmt::format("The subprocess “{}”", program());
    return fmt::format("{} reported error number {} when it ended.", who, error_code().value_or(0));
}

std::string ChildErrorStringifier::signal_phrase() const {
    std::string who = program().empty() ? "The subprocess" : fmt::format("The subprocess “{}”", program());
    return fmt::format("{} ended prematurely because it received the “{}” ({}) signal.", who, signal_name(),
                       signal_code().value_or(0));
}

std::optional<std::string> ChildErrorStringifier::autopsy() const {
    if (!child_error_ || *child_error_ == 0) return std::nullopt;
    std::vector<std::string> phrases;
    phrases.push_back(error_code().value_or(0) ? error_phrase() : signal_phrase());
    if (dumped_core()) phrases.push_back("The subprocess dumped a core file.");
    for (auto& p : additional_phrases_for_autopsy()) phrases.push_back(std::move(p));
    std::string out;
    for (const auto& p : phrases) {
        if (!out.empty()) out += ' ';
        out += p;
    }
    return out;
}

std::string ChildErrorStringifier::terse_autopsy() const {
    std::string out;
    if (signal_code().value_or(0))
        out = fmt::format("SIG{} ({})", signal_name(), *signal_code());
    else if (error_code().value_or(0))
        out = fmt::format("exit {}", *error_code());
    else
        out = "OK";
    if (dumped_core()) out += " (+core)";
    return out;
}

std::optional<Exception::Base> ChildErrorStringifier::to_exception() const {
    Exception::Fields fields = extra_error_args_for_die_if_error();
    fields["program"] = program();
    if (signal_code().value_or(0)) {
        fields["signal_code"] = *signal_code();
        fields["signal_name"] = signal_name();
        return Exception::create(Exception::Kinds::ProcessFailed::Signal, fields);
    }
    if (error_code().value_or(0)) {
        fields["error_code"] = *error_code();
        return Exception::create(Exception::Kinds::ProcessFailed::Error, fields);
    }
    return std::nullopt;
}

const ChildErrorStringifier& ChildErrorStringifier::die_if_error() const {
    if (auto e = to_exception()) throw *e;
    return *this;
}

}  // namespace Vexlan
