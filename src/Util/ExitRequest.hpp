#pragma once
// Ends the process from deep inside the code through the one orderly path: the entry
// catches it, releases the service object (and with it the restart lock) and exits.
#include <exception>

namespace Vexlan {

class ExitRequest : public std::exception {
public:
    explicit ExitRequest(int status) : status_(status) {}
    int status() const { return status_; }
    const char* what() const noexcept override { return "exit requested"; }

private:
    int status_;
};

// The one way the program's code ends the process. The service classes and the entry both
// offer it under the name `_exit`, which scripts written for them know; unlike the C
// library's ::_exit, which skips every destructor and would leave the restart lock and the
// logs to the kernel, it unwinds to the entry.
[[noreturn]] inline void request_exit(int status) { throw ExitRequest(status); }

}  // namespace Vexlan
