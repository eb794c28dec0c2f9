#pragma once
// The process-wide logger and the log_* shortcuts; each keeps errno unchanged.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace Vexlan {
class Logger;
}

namespace Vexlan::Debug {

std::shared_ptr<Logger> logger();
void set_logger(std::shared_ptr<Logger> logger);

void log_error(const std::string& message);
void log_warn(const std::string& message);
void log_warn_no_backtrace(const std::string& message);
void log_invalid(const std::string& message);
void log_deprecated(const std::string& message);
[[noreturn]] void log_panic(const std::string& message);
[[noreturn]] void log_die(const std::string& message);
void log_info(const std::string& message);
void log_debug(const std::string& message);
void log_dump(const nlohmann::json& data);

int debug_level();
int debug_level(int level);

}  // namespace Vexlan::Debug
