#pragma once
// Turns a raw wait status into an exit code, a signal, readable text and a typed error.
#include <optional>
#include <string>
#include <vector>

#include "Exception/Exception.hpp"

namespace Vexlan {

class ChildErrorStringifier {
public:
    ChildErrorStringifier() = default;
    explicit ChildErrorStringifier(std::optional<int> child_error, std::optional<std::string> program = std::nullopt)
        : child_error_(child_error), program_name_(std::move(program)) {}
    virtual ~ChildErrorStringifier() = default;

    std::optional<int> CHILD_ERROR() const { return child_error_; }
    // Status >> 8; empty when the status is 0 or absent.
    std::optional<int> error_code() const;
    // Symbolic errno name of the exit code ("ENOENT"); empty when none.
    std::string error_name() const;
    bool dumped_core() const;
    // Status & 127; empty when the status is 0 or absent.
    std::optional<int> signal_code() const;
    // Conventional name of the signal ("TERM"); empty when none.
    std::string signal_name() const;
    bool exec_failed() const { return exec_failed_; }

    virtual std::string program() const { return program_name_.value_or(""); }
    void set_program(std::string name) { program_name_ = std::move(name); }

    // Empty when the run succeeded; otherwise a readable account.
    std::optional<std::string> autopsy() const;
    std::string terse_autopsy() const;
    // The typed error describing the failure, or empty when there was none.
    virtual std::optional<Exception::Base> to_exception() const;
    // Throws to_exception() when there is one.
    const ChildErrorStringifier& die_if_error() const;

protected:
    virtual std::string error_phrase() const;
    virtual std::string signal_phrase() const;
    virtual std::vector<std::string> additional_phrases_for_autopsy() const { return {}; }
    virtual Exception::Fields extra_error_args_for_die_if_error() const { return Exception::Fields::object(); }

    std::optional<int> child_error_;
    std::optional<std::string> program_name_;
    bool exec_failed_ = false;
};

std::string signal_name_of(int signo);

}  // namespace Vexlan
