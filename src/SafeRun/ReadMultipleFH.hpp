#pragma once
// Reads several pipes at once with poll and time-outs.
#include <map>
#include <vector>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "SafeRun/Handle.hpp"

namespace Vexlan {

class ReadMultipleFH {
public:
    static constexpr double DEFAULT_TIMEOUT = 600;
    static constexpr double DEFAULT_READ_TIMEOUT = 0;
    static constexpr size_t CHUNK_SIZE = 131072;

    // Where one read end's data goes: an internal buffer (monostate), a caller's text,
    // or an output handle that receives it as it arrives.
    using Target = std::variant<std::monostate, std::string*, SafeRun::OutputHandle>;
    struct Entry {
        int fd;
        Target target;
    };

    // Reads until every descriptor reached end of file or a time-out struck. Timeouts of
    // 0 mean none; absent ones take the defaults. Throws on a read or forwarding error.
    ReadMultipleFH(std::vector<Entry> entries, std::optional<double> timeout = std::nullopt,
                   std::optional<double> read_timeout = std::nullopt);

    // The buffer for fd, or nullptr when its data went to an output target.
    const std::string* get_buffer(int fd) const;
    std::string take_buffer(int fd);
    bool did_finish() const { return finished_; }
    // The time-out that ended the read, or 0.
    double timed_out() const { return timed_out_; }

private:
    struct State {
        std::string internal;
        std::string* buffer;
        std::optional<SafeRun::OutputHandle> output;
    };
    void forward(State& st, double read_timeout);

    std::map<int, State> states_;
    bool finished_ = false;
    double timed_out_ = 0;
};

}  // namespace Vexlan
