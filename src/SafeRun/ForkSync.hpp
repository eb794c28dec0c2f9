#pragma once
// Runs code in a forked child, waits for it, and brings back what the code returned or
// the error it raised, carried through a pipe as CBOR.
#include <sys/types.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "SafeRun/ChildErrorStringifier.hpp"
#include "SafeRun/UntrustedException.hpp"

namespace Vexlan {

class ForkSync : public ChildErrorStringifier {
  public:
    // The code returns a list of values (a JSON array; any other value is one value).
    using Code = std::function<nlohmann::json()>;

    explicit ForkSync(const Code& code);
    static ForkSync new_with_parent_callback(const std::function<void()>& parent_code, const Code& code);
    static ForkSync new_quiet(const Code& code);

    pid_t pid() const { return pid_; }
    // The returned list; null when the code raised or nothing arrived.
    const nlohmann::json& return_value() const { return return_; }
    const std::optional<std::string>& exception() const { return exception_; }
    const std::optional<std::string>& full_exception_text() const { return full_exception_text_; }
    // An error of this program's facility re-created as data, without trusting its class;
    // or a raised data structure.
    const std::optional<UntrustedException>& structured_exception() const { return structured_exception_; }
    const nlohmann::json& structured_data() const { return structured_data_; }
    const std::optional<std::string>& retrieve_error() const { return retrieve_err_; }
    bool had_error() const;

    // Runs the code, leaves the wait status in the last child status, and returns the list
    // (empty on any failure).
    static std::optional<nlohmann::json> do_in_child_list(const Code& code);
    // The same, but only the last returned value.
    static std::optional<nlohmann::json> do_in_child(const Code& code);

    // A value the child's encoder cannot represent; the child filters it to plain data.
    static bool is_encodable(const nlohmann::json& value);
    static nlohmann::json to_plain_data(const nlohmann::json& value);

  private:
    ForkSync() = default;
    void run(const std::function<void()>* parent_code, const Code& code, bool quiet);
    // The child's report from the pipe; null (and retrieve_err_ set) when unreadable.
    nlohmann::json read_report(int fd);
    // Return value and exception of the child, as its report gives them.
    void take_report(const nlohmann::json& report);

    pid_t pid_ = 0;
    nlohmann::json return_;
    std::optional<std::string> exception_;
    std::optional<std::string> full_exception_text_;
    std::optional<UntrustedException> structured_exception_;
    nlohmann::json structured_data_;
    std::optional<std::string> retrieve_err_;
};

}  // namespace Vexlan
