#include "Output/Debug.hpp"

#include "Output/Logger.hpp"
#include "Util/Guards.hpp"

namespace Vexlan::Debug {

namespace {
std::shared_ptr<Logger> g_logger;
int g_level = 0;
}  // namespace

std::shared_ptr<Logger> logger() {
    if (!g_logger) g_logger = Logger::create();
    return g_logger;
}
void set_logger(std::shared_ptr<Logger> l) { g_logger = std::move(l); }

void log_error(const std::string& m) {
    ErrnoGuard keep;
    logger()->error(m);
}
void log_warn(const std::string& m) {
    ErrnoGuard keep;
    logger()->warn(m);
}
void log_warn_no_backtrace(const std::string& m) {
    ErrnoGuard keep;
    Logger::ENABLE_BACKTRACE = false;
    logger()->warn(m);
}
void log_invalid(const std::string& m) {
    ErrnoGuard keep;
    logger()->invalid(m);
}
void log_deprecated(const std::string& m) {
    ErrnoGuard keep;
    logger()->deprecated(m);
}
void log_panic(const std::string& m) { logger()->panic(m); }
void log_die(const std::string& m) { logger()->die(m); }
void log_info(const std::string& m) {
    ErrnoGuard keep;
    logger()->info(m);
}
void log_debug(const std::string& m) {
    ErrnoGuard keep;
    logger()->debug(m);
}
void log_dump(const nlohmann::json& data) {
    ErrnoGuard keep;
    logger()->info(data.dump());
}

int debug_level() { return g_level; }
int debug_level(int level) { return g_level = level; }

}  // namespace Vexlan::Debug
