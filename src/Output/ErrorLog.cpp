#include "Output/ErrorLog.hpp"

#include <set>
#include <string>

#include "Output/Logger.hpp"

namespace Vexlan::ErrorLog {

namespace {
std::set<std::string>& logged() {
    static std::set<std::string> ids;
    return ids;
}
}  // namespace

void record(const Exception::Base& e, const std::string& shown) {
    if (!logged().insert(e.id()).second) return;
    Logger::Record r;
    // Its fields arrive escaped, as the screen shows them.
    r.message = shown.empty() ? e.to_string() : "(" + e.id() + ") " + shown;
    r.level = "error";
    r.output = 0;
    r.backtrace = false;
    Logger::create()->logger(r);
}

void forget() { logged().clear(); }

}  // namespace Vexlan::ErrorLog
