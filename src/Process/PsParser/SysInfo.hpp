#pragma once
// Converts resident pages, clock ticks and start times into percentages and seconds.
namespace Vexlan::PsParser {

class SysInfo {
public:
    SysInfo();
    double memory_percent(unsigned long long resident_pages) const;
    double cpu_percent(unsigned long long start_ticks, unsigned long long used_ticks) const;
    double elapsed_seconds(unsigned long long start_ticks) const;

private:
    double mem_total_bytes_ = 0;
    double page_size_ = 4096;
    double hz_ = 100;
    double uptime_ = 0;
};

}  // namespace Vexlan::PsParser
