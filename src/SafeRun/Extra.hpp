#pragma once
// The runner with per-line callbacks: a logger, accumulation buffers and environment
// variables to pass through the cleaned environment.
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "SafeRun/Object.hpp"

namespace Vexlan::SafeRun {

// Something that logs one line at a time (the logger's line-logging method).
class LineLogger {
public:
    virtual ~LineLogger() = default;
    virtual void log_line(const std::string& line) = 0;
};

struct ExtraOptions {
    Options base;
    LineLogger* logger = nullptr;
    std::string* buffer = nullptr;
    std::string* stdout_buffer = nullptr;
    std::string* stderr_buffer = nullptr;
    std::variant<std::monostate, std::vector<std::string>, std::map<std::string, std::string>> envs;
    bool env = false;  // the mistaken name of `envs`; refused
};

class Extra {
public:
    static Object run(ExtraOptions options);
};

}  // namespace Vexlan::SafeRun
