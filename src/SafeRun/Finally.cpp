#include "SafeRun/Finally.hpp"

#include <unistd.h>

#include <cstdio>
#include <exception>

#include "Exception/Exception.hpp"

namespace Vexlan {

Finally::Finally(Callback cb) : pid_(::getpid()) { todo_.push_back(std::move(cb)); }

Finally::Finally(Finally&& other) noexcept : pid_(other.pid_), todo_(std::move(other.todo_)) { other.todo_.clear(); }

std::vector<Finally::Callback> Finally::skip() {
    std::vector<Callback> out;
    out.swap(todo_);
    return out;
}

Finally::~Finally() {
    if (todo_.empty() || ::getpid() != pid_) return;
    std::vector<Callback> todo;
    todo.swap(todo_);
    for (auto& cb : todo) {
        try {
            cb();
        } catch (...) {
            // One failing callback must not keep the others from running.
            std::fprintf(stderr, "warn [Finally] a cleanup callback failed: %s\n",
                         Exception::get_string(std::current_exception()).c_str());
        }
    }
}

}  // namespace Vexlan
