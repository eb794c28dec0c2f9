#pragma once
// Terminates processes found by name, safely: never the caller or an immune pid, from a
// polite TERM to a forced KILL with measured waits, reaping its own children, and only
// ever signalling the very processes it first found.
#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "Process/PsParser/PsParser.hpp"

namespace Vexlan::Kill {

inline constexpr double DEFAULT_WAIT_TIME = 15;

// 1 when the processes found were confirmed gone, else 0.
int safekill(const PsParser::NameSpec& name, bool verbose = false, double wait_time = 0,
             const std::vector<pid_t>& immune_pids = {}, const std::optional<PsParser::Owners>& allowed_owners = std::nullopt);
int safekill_multipid(const std::vector<pid_t>& pids, bool verbose = false, double wait_time = 0);
// (status, count, message).
std::tuple<int, int, std::string> killall(const std::string& signal, const PsParser::NameSpec& name, bool verbose = false,
                                          const std::vector<pid_t>& immune_pids = {},
                                          const std::optional<PsParser::Owners>& allowed_owners = std::nullopt);
int _kill_group(int signal, const std::vector<pid_t>& pids);
std::pair<int, std::string> _verify_proc_mounted();

// A candidate with the start time that identifies it, so that a pid taken over by another
// process later is never signalled.
struct Target {
    pid_t pid;
    std::optional<unsigned long long> start_time;
};
std::vector<Target> identify(const std::vector<pid_t>& pids);
// True while this very process runs (not a zombie, same start time).
bool still_the_same(const Target& t);
int escalate(const std::vector<Target>& targets, bool verbose, double wait_time, const std::string& label);

// The sleep of the polite phase after `waited` seconds of waiting.
double polite_step(double waited);

}  // namespace Vexlan::Kill
