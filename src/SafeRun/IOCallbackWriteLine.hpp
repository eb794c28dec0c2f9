#pragma once
// Write sinks driven by callbacks. IOCallbackWrite hands every write to a callback;
// IOCallbackWriteLine cuts the bytes into lines and hands over each complete line.
#include <cstdarg>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "SafeRun/Handle.hpp"

namespace Vexlan {

class IOCallbackWrite : public SafeRun::Sink {
public:
    using Callback = std::function<void(std::string_view)>;
    explicit IOCallbackWrite(Callback cb) : callback_(std::move(cb)) {}

    // Joins with the output field separator and appends the record separator.
    void print(std::initializer_list<std::string_view> parts);
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Takes `length` bytes of `buffer` from `offset` (negative: from the end); length is
    // clamped to the buffer. Throws for a negative length or an offset outside the buffer.
    size_t write(const std::string& buffer, std::optional<long> length = std::nullopt, long offset = 0);
    void write(std::string_view data) override;
    int fileno() const { return -1; }
    void close() override {}

    std::string output_field_separator;
    std::string output_record_separator;

private:
    Callback callback_;
};

class IOCallbackWriteLine : public SafeRun::Sink {
public:
    using LineCallback = std::function<void(const std::string&)>;
    explicit IOCallbackWriteLine(LineCallback cb);
    ~IOCallbackWriteLine() override;
    IOCallbackWriteLine(const IOCallbackWriteLine&) = delete;
    IOCallbackWriteLine& operator=(const IOCallbackWriteLine&) = delete;

    void write(std::string_view data) override;
    // Hands any remaining partial line to the callback.
    bool clear();
    // clear(), then releases the buffer.
    void close() override;

private:
    LineCallback callback_;
    std::optional<std::string> buffer_;
};

}  // namespace Vexlan
