#pragma once
// Runs callbacks at end of scope, only in the process that created the guard: a copy
// inherited by a forked child does nothing.
#include <sys/types.h>

#include <functional>
#include <vector>

namespace Vexlan {

class Finally {
public:
    using Callback = std::function<void()>;
    Finally() = default;
    explicit Finally(Callback cb);
    ~Finally();
    Finally(Finally&& other) noexcept;
    Finally& operator=(Finally&&) = delete;
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

    void add(Callback cb) { todo_.push_back(std::move(cb)); }
    // Removes and returns the pending callbacks; none of them will run.
    std::vector<Callback> skip();

private:
    pid_t pid_;
    std::vector<Callback> todo_;
};

}  // namespace Vexlan
