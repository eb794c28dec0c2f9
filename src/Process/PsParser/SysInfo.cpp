#include "Process/PsParser/SysInfo.hpp"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "Process/ProcFs.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"

namespace Vexlan::PsParser {

SysInfo::SysInfo() {
    page_size_ = static_cast<double>(::sysconf(_SC_PAGESIZE));
    hz_ = static_cast<double>(::sysconf(_SC_CLK_TCK));
    if (auto meminfo = FileUtils::read_file(ProcFs::proc_root() + "/meminfo")) {
        std::istringstream in(*meminfo);
        std::string key;
        double kb = 0;
        if (in >> key >> kb && key == "MemTotal:") mem_total_bytes_ = kb * 1024;
    }
    if (auto up = FileUtils::read_file(ProcFs::proc_root() + "/uptime")) {
        // "12345.67 2345.89": whole seconds are enough for elapsed times.
        uptime_ = static_cast<double>(Number::parse<long>(up->substr(0, up->find('.')), 0).value_or(0));
    }
}

double SysInfo::memory_percent(unsigned long long pages) const {
    if (mem_total_bytes_ <= 0) return 0;
    return static_cast<double>(pages) * page_size_ * 100.0 / mem_total_bytes_;
}

double SysInfo::elapsed_seconds(unsigned long long start_ticks) const {
    double e = uptime_ - static_cast<double>(start_ticks) / hz_;
    return e < 0 ? 0 : e;
}

double SysInfo::cpu_percent(unsigned long long start_ticks, unsigned long long used_ticks) const {
    double elapsed = elapsed_seconds(start_ticks);
    if (elapsed <= 0) return 0;
    return static_cast<double>(used_ticks) / hz_ * 100.0 / elapsed;
}

}  // namespace Vexlan::PsParser
