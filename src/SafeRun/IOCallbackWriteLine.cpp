#include "SafeRun/IOCallbackWriteLine.hpp"

#include <cstdio>

#include "Exception/Exception.hpp"

namespace Vexlan {

void IOCallbackWrite::print(std::initializer_list<std::string_view> parts) {
    std::string out;
    bool first = true;
    for (auto p : parts) {
        if (!first) out += output_field_separator;
        out += p;
        first = false;
    }
    out += output_record_separator;
    if (!out.empty()) callback_(out);
}

void IOCallbackWrite::printf(const char* format, ...) {
    va_list ap, ap2;
    va_start(ap, format);
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, format, ap2);
    va_end(ap2);
    if (!out.empty()) callback_(out);
}

size_t IOCallbackWrite::write(const std::string& buffer, std::optional<long> length, long offset) {
    const long size = static_cast<long>(buffer.size());
    long len = length.value_or(size);
    if (len < 0) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "Negative length"}});
    if (offset < 0) offset += size;
    if (offset < 0 || (offset > size && size > 0) || (size == 0 && offset != 0))
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "Offset outside string"}});
    if (len > size - offset) len = size - offset;
    if (len > 0) callback_(std::string_view(buffer).substr(static_cast<size_t>(offset), static_cast<size_t>(len)));
    return static_cast<size_t>(len);
}

void IOCallbackWrite::write(std::string_view data) {
    if (!data.empty()) callback_(data);
}

IOCallbackWriteLine::IOCallbackWriteLine(LineCallback cb) : callback_(std::move(cb)), buffer_(std::string()) {}

IOCallbackWriteLine::~IOCallbackWriteLine() {
    if (!buffer_) return;
    try {
        close();
    } catch (...) {
        std::fprintf(stderr, "warn [IOCallbackWriteLine] unflushed bytes were lost: %s\n", buffer_ ? buffer_->c_str() : "");
    }
}

void IOCallbackWriteLine::write(std::string_view data) {
    if (!buffer_) buffer_.emplace();
    buffer_->append(data);
    size_t start = 0;
    for (size_t nl; (nl = buffer_->find('\n', start)) != std::string::npos; start = nl + 1)
        callback_(buffer_->substr(start, nl - start + 1));
    buffer_->erase(0, start);
}

bool IOCallbackWriteLine::clear() {
    if (buffer_ && !buffer_->empty()) {
        std::string rest;
        rest.swap(*buffer_);
        callback_(rest);
    }
    return true;
}

void IOCallbackWriteLine::close() {
    clear();
    buffer_.reset();
}

}  // namespace Vexlan
