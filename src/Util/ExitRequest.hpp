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

}  // namespace Vexlan
