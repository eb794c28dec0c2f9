#include "Process/Rlimit/Rlimit.hpp"

#include <unistd.h>

#include <fmt/format.h>

#include "Config/LoadVxConf.hpp"
#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"
#include "Process/Syscall/Syscall.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Paths.hpp"
#include "Util/Text.hpp"

namespace Vexlan::Maxmem {

uint64_t minimum() {
    uint64_t domains = 1;
    if (auto text = FileUtils::read_file(Paths::get(Paths::Key::UserDomains))) {
        domains = 0;
        for (const auto& line : Text::lines(*text))
            if (!Text::trim(line).empty()) ++domains;
    }
    return 4096 * (1 + domains / 10000);
}

}  // namespace Vexlan::Maxmem

namespace Vexlan::Rlimit {

namespace {
std::string value_text(uint64_t v) { return v == UNLIMITED ? "unlimited" : std::to_string(v); }

// One warning for every failure of a call; 1 when there was none.
int report(std::string failures) {
    if (failures.empty()) return 1;
    if (failures.back() == '\n') failures.pop_back();
    Debug::log_warn(failures);
    return 0;
}

std::optional<std::string> set_one(const std::string& resource, uint64_t soft, uint64_t hard) {
    try {
        Sys::Rlimit::setrlimit(resource, soft, hard);
        return std::nullopt;
    } catch (const Exception::Base& e) {
        return fmt::format("Process {} could not set the {} limit to {}: {}\n", ::getpid(), resource, value_text(soft), e.to_string_no_id());
    }
}

// A limit written as a decimal number: clamped to unlimited beyond 2^64 - 1.
uint64_t limit_of(const std::string& text) {
    if (auto n = Number::parse<uint64_t>(text)) return *n;
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        Debug::log_warn(fmt::format("The limit {} exceeds the largest possible one; no limit is set instead.", text));
        return UNLIMITED;
    }
    Debug::log_warn(fmt::format("“{}” is not a limit; no limit is set instead.", text));
    return UNLIMITED;
}
}  // namespace

const std::vector<std::string>& memory_resources() {
    static const std::vector<std::string> kMemory = {"AS", "DATA"};
    return kMemory;
}

std::pair<uint64_t, bool> _get_server_setting_or_default() {
    const auto coredump = Config::LoadVxConf::value("coredump").value_or("0");
    const uint64_t fallback = Maxmem::default_();
    uint64_t configured = fallback;
    if (auto maxmem = Config::LoadVxConf::value("maxmem")) {
        if (auto n = Number::parse<uint64_t>(*maxmem); n && *n) configured = *n;
        else if (n) configured = 0;
    }
    uint64_t limit;
    if (configured != 0 && configured < fallback) limit = fallback * 1048576;  // the default is a floor
    else if (configured == 0) limit = UNLIMITED;
    else limit = configured * 1048576;
    return {limit, !coredump.empty() && coredump != "0"};
}

int set_rlimit(std::optional<std::string> limit_text, std::optional<std::vector<std::string>> resources) {
    auto [server_limit, coredump] = _get_server_setting_or_default();
    uint64_t limit = limit_text ? limit_of(*limit_text) : (server_limit ? server_limit : UNLIMITED);
    std::string failures;
    for (const auto& resource : resources.value_or(memory_resources()))
        if (auto f = set_one(resource, limit, limit)) failures += *f;
    const uint64_t core = coredump ? limit : 0;
    if (auto f = set_one("CORE", core, core)) failures += *f;
    return report(failures);
}

int set_rlimit_to_infinity() { return set_rlimit(std::to_string(UNLIMITED)); }

int set_min_rlimit(uint64_t min) {
    std::string failures;
    for (const auto& resource : memory_resources()) {
        try {
            auto [soft, hard] = Sys::Rlimit::getrlimit(resource);
            if (soft < min || hard < min)
                if (auto f = set_one(resource, min, min)) failures += *f;
        } catch (const Exception::Base& e) {
            failures += fmt::format("Process {} could not read the {} limit: {}\n", ::getpid(), resource, e.to_string_no_id());
        }
    }
    return report(failures);
}

std::map<std::string, std::pair<uint64_t, uint64_t>> get_current_rlimits() {
    std::map<std::string, std::pair<uint64_t, uint64_t>> out;
    std::vector<std::string> resources = memory_resources();
    resources.push_back("CORE");
    for (const auto& r : resources) {
        try {
            out[r] = Sys::Rlimit::getrlimit(r);
        } catch (const Exception::Base&) {
            // a limit that cannot be read is not restored
        }
    }
    return out;
}

int restore_rlimits(const std::map<std::string, std::pair<uint64_t, uint64_t>>& limits) {
    std::string failures;
    for (const auto& [resource, pair] : limits)
        if (auto f = set_one(resource, pair.first, pair.second)) failures += *f;
    return report(failures);
}

int set_open_files_to_maximum() {
    auto text = FileUtils::read_first_line(Paths::get(Paths::Key::ProcRoot) + "/sys/fs/nr_open");
    const uint64_t max = text ? Number::parse_trimmed<uint64_t>(*text).value_or(1048576) : 1048576;
    return set_rlimit(std::to_string(max), std::vector<std::string>{"NOFILE"});
}

}  // namespace Vexlan::Rlimit
