#include "SafeRun/ReadMultipleFH.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "Exception/Exception.hpp"
#include "Util/Time.hpp"

namespace Vexlan {

namespace {
void set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int to_poll_ms(double seconds) {
    if (seconds < 0) return -1;
    double ms = std::ceil(seconds * 1000.0);
    return ms > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(ms);
}

// Writes everything to a descriptor that may be non-blocking, waiting up to
// `read_timeout` seconds (0 = without limit) whenever it would block.
void write_fully(int fd, std::string_view data, double read_timeout) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n >= 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw Exception::create(Exception::Kinds::IO::WriteError, {{"length", data.size()}, {"command", "output target"}, {"error", errno}});
        struct pollfd p {fd, POLLOUT, 0};
        int rc = ::poll(&p, 1, read_timeout > 0 ? to_poll_ms(read_timeout) : -1);
        if (rc == 0) throw Exception::create(Exception::Kinds::Timeout, {{"timeout", read_timeout}});
        if (rc < 0 && errno != EINTR)
            throw Exception::create(Exception::Kinds::IO::WriteError, {{"length", data.size()}, {"command", "output target"}, {"error", errno}});
    }
}
}  // namespace

ReadMultipleFH::ReadMultipleFH(std::vector<Entry> entries, std::optional<double> timeout,
                               std::optional<double> read_timeout) {
    std::vector<struct pollfd> watch;
    for (auto& e : entries) {
        set_nonblocking(e.fd);
        State st;
        if (auto* buf = std::get_if<std::string*>(&e.target)) {
            st.buffer = *buf;
        } else {
            if (auto* out = std::get_if<SafeRun::OutputHandle>(&e.target)) st.output = *out;
        }
        auto [it, inserted] = states_.emplace(e.fd, std::move(st));
        if (!std::get_if<std::string*>(&e.target)) it->second.buffer = &it->second.internal;
        watch.push_back({e.fd, POLLIN, 0});
    }

    const double overall = timeout.value_or(DEFAULT_TIMEOUT);
    const double per_read = read_timeout.value_or(DEFAULT_READ_TIMEOUT);
    const bool has_overall = overall > 0;
    double left = overall;
    finished_ = watch.empty();
    std::vector<char> chunk(CHUNK_SIZE);

    while (!finished_ && (!has_overall || left > 0)) {
        double wait;  // negative: without limit
        if (!has_overall)
            wait = per_read > 0 ? per_read : -1;
        else if (per_read <= 0 || left <= per_read)
            wait = left;
        else
            wait = per_read;

        double started = Time::monotonic_seconds_f();
        int rc = ::poll(watch.data(), watch.size(), to_poll_ms(wait));
        if (rc == 0) {
            timed_out_ = (per_read > 0 && wait == per_read) ? per_read : overall;
            break;
        }
        if (rc > 0) {
            for (size_t i = 0; i < watch.size();) {
                if (!(watch[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                    ++i;
                    continue;
                }
                State& st = states_.at(watch[i].fd);
                // Read into a fixed chunk and append what came: resizing the buffer up front
                // would zero a whole chunk for every short read.
                ssize_t n;
                do {
                    n = ::read(watch[i].fd, chunk.data(), CHUNK_SIZE);
                } while (n < 0 && errno == EINTR);
                if (n < 0) {
                    if (errno == EAGAIN) {
                        ++i;
                        continue;
                    }
                    throw Exception::create(Exception::Kinds::IO::ReadError, {{"length", CHUNK_SIZE}, {"command", "child output"}, {"error", errno}});
                }
                st.buffer->append(chunk.data(), static_cast<size_t>(n));
                if (st.output) forward(st, per_read);
                if (n == 0) {
                    watch.erase(watch.begin() + static_cast<long>(i));
                    continue;
                }
                watch[i].revents = 0;
                ++i;
            }
            if (watch.empty()) finished_ = true;
        }
        if (has_overall) left -= Time::monotonic_seconds_f() - started;
    }
    for (auto& [fd, st] : states_)
        if (st.output) st.internal.clear();
    if (!finished_ && has_overall && left <= 0) timed_out_ = overall;
}

void ReadMultipleFH::forward(State& st, double read_timeout) {
    std::string data;
    data.swap(*st.buffer);
    if (data.empty()) return;
    if (auto* fd = std::get_if<SafeRun::Fd>(&*st.output))
        write_fully(fd->fd, data, read_timeout);
    else
        std::get<std::shared_ptr<SafeRun::Sink>>(*st.output)->write(data);
}

const std::string* ReadMultipleFH::get_buffer(int fd) const {
    auto it = states_.find(fd);
    if (it == states_.end() || it->second.output) return nullptr;
    return it->second.buffer;
}

std::string ReadMultipleFH::take_buffer(int fd) {
    auto it = states_.find(fd);
    if (it == states_.end() || it->second.output) return {};
    return std::move(*it->second.buffer);
}

}  // namespace Vexlan
