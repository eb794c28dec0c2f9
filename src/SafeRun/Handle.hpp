#pragma once
// What a child's standard streams can be connected to.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace Vexlan::SafeRun {

// A write destination without an OS descriptor: the runner reads the child's stream
// through a pipe and hands the data to it as it arrives.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(std::string_view data) = 0;
    virtual void close() {}
};

// An in-memory handle bound to a text.
class StringSink : public Sink {
public:
    explicit StringSink(std::string& target) : target_(&target) {}
    void write(std::string_view data) override { target_->append(data); }

private:
    std::string* target_;
};

// A read source without an OS descriptor; the runner pumps it into the child.
class Source {
public:
    virtual ~Source() = default;
    // Bytes read into buf, 0 at end, -1 with errno on error.
    virtual ssize_t read(char* buf, size_t len) = 0;
};

// A caller's OS descriptor.
struct Fd {
    int fd;
};

using OutputHandle = std::variant<Fd, std::shared_ptr<Sink>>;

// Standard input: nothing (the null device), text, a reference to text, a callback
// that is handed the write end, a descriptor read directly, or a source pumped in.
using InputSpec = std::variant<std::monostate, std::string, const std::string*, std::function<void(int)>, Fd,
                               std::shared_ptr<Source>>;

inline bool same_handle(const OutputHandle& a, const OutputHandle& b) {
    if (a.index() != b.index()) return false;
    if (auto* fa = std::get_if<Fd>(&a)) return fa->fd == std::get<Fd>(b).fd;
    return std::get<std::shared_ptr<Sink>>(a) == std::get<std::shared_ptr<Sink>>(b);
}

}  // namespace Vexlan::SafeRun
