#include "Process/Kill/Kill.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Exception/Exception.hpp"
#include "Output/Debug.hpp"
#include "Output/Output.hpp"
#include "Process/ProcFs.hpp"
#include "Process/Signal/Numbers.hpp"
#include "SafeRun/Simple.hpp"
#include "Util/File.hpp"
#include "Util/Number.hpp"
#include "Util/Text.hpp"
#include "Util/Time.hpp"

namespace Vexlan::Kill {

namespace {
// Through the screen's output object when the program has one (a reader of records reads
// nothing but records); a line ending completes the message.
void say(bool verbose, const std::string& text) {
    if (!verbose) return;
    if (Output::screen) {
        const bool ends = !text.empty() && text.back() == '\n';
        Output::screen->out(ends ? text.substr(0, text.size() - 1) : text, Output::SOURCE_LOCAL,
                            ends ? Output::COMPLETE_MESSAGE : Output::PARTIAL_MESSAGE);
        return;
    }
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void reap_children(const std::vector<Target>& targets) {
    for (const auto& t : targets) {
        int status;
        ::waitpid(t.pid, &status, WNOHANG);
    }
}

std::vector<Target> alive(const std::vector<Target>& targets) {
    std::vector<Target> out;
    for (const auto& t : targets)
        if (still_the_same(t)) out.push_back(t);
    return out;
}

std::vector<pid_t> pids_of(const std::vector<Target>& targets) {
    std::vector<pid_t> out;
    for (const auto& t : targets) out.push_back(t.pid);
    return out;
}

std::string label_of(const PsParser::NameSpec& name) {
    if (auto* s = std::get_if<std::string>(&name)) return *s;
    if (auto* l = std::get_if<std::vector<std::string>>(&name)) {
        return fmt::format("{}", fmt::join(*l, ", "));
    }
    return std::get<Regex>(name).pattern();
}

std::vector<pid_t> candidates(const PsParser::NameSpec& name, const std::vector<pid_t>& immune_pids,
                              const std::optional<PsParser::Owners>& owners) {
    std::set<pid_t> immune(immune_pids.begin(), immune_pids.end());
    immune.insert(::getpid());
    std::vector<pid_t> out;
    for (pid_t p : PsParser::get_pids_by_name(name, owners))
        if (!immune.count(p)) out.push_back(p);
    return out;
}
}  // namespace

double polite_step(double waited) {
    return waited <= 0.01 ? 0.0025 : waited <= 0.5 ? 0.01 : 0.05;
}

std::vector<Target> identify(const std::vector<pid_t>& pids) {
    std::vector<Target> out;
    for (pid_t p : pids) out.push_back({p, ProcFs::start_time(p)});
    return out;
}

bool still_the_same(const Target& t) {
    if (!ProcFs::is_alive(t.pid)) return false;
    if (!t.start_time) return true;
    auto now = ProcFs::start_time(t.pid);
    return now && *now == *t.start_time;
}

int _kill_group(int signo, const std::vector<pid_t>& pids) {
    int count = 0;
    for (pid_t p : pids) {
        if (::kill(p, signo) == 0) {
            ++count;
        } else if (errno != ESRCH) {
            Debug::log_warn(fmt::format("The system failed to send the “{}” signal to process {}: {}", signo,
                                        p, std::strerror(errno)));
        }
    }
    return count;
}

int escalate(const std::vector<Target>& targets, bool verbose, double wait_time, const std::string& label) {
    if (wait_time <= 0) wait_time = DEFAULT_WAIT_TIME;
    say(verbose, fmt::format("Waiting for “{}” to shut down", label));
    if (_kill_group(SIGTERM, pids_of(alive(targets))) == 0) {
        say(verbose, " … no process could be signalled.\n");
        return 0;
    }
    double waited = 0;
    while (waited <= wait_time) {
        say(verbose, ".");
        if (alive(targets).empty()) {
            say(verbose, " … finished.\n");
            return 1;
        }
        double step = polite_step(waited);
        Time::sleep_for(step);
        waited += step;
        reap_children(targets);
    }
    say(verbose, fmt::format("\nKilling “{}” by force", label));
    // Only the processes first found, still the same ones, get the forced kill: a pid that
    // has since been reused belongs to someone else.
    auto survivors = alive(targets);
    if (_kill_group(SIGKILL, pids_of(survivors)) == 0) {
        say(verbose, " … finished.\n");
        return alive(targets).empty() ? 1 : 0;
    }
    while (waited <= 2 * wait_time) {
        say(verbose, ".");
        if (alive(targets).empty()) {
            say(verbose, " … finished.\n");
            return 1;
        }
        Time::sleep_for(0.1);
        waited += 0.1;
        reap_children(targets);
    }
    say(verbose, fmt::format(" … “{}” survived.\n", label));
    return 0;
}

int safekill(const PsParser::NameSpec& name, bool verbose, double wait_time,
             const std::vector<pid_t>& immune_pids, const std::optional<PsParser::Owners>& allowed_owners) {
    std::string label = label_of(name);
    auto pids = candidates(name, immune_pids, allowed_owners);
    if (pids.empty()) {
        say(verbose, fmt::format("No “{}” process is running.\n", label));
        return 0;
    }
    return escalate(identify(pids), verbose, wait_time, label);
}

int safekill_multipid(const std::vector<pid_t>& pids, bool verbose, double wait_time) {
    return escalate(identify(pids), verbose, wait_time, fmt::format("{}", fmt::join(pids, " ")));
}

std::tuple<int, int, std::string> killall(const std::string& signal, const PsParser::NameSpec& name,
                                          bool verbose, const std::vector<pid_t>& immune_pids,
                                          const std::optional<PsParser::Owners>& allowed_owners) {
    const std::string sig = Text::upper(signal);
    _verify_proc_mounted();
    if (sig.empty()) return {0, 0, "No signal was given."};
    int signo = 0;
    if (sig.find_first_not_of("0123456789") != std::string::npos) {
        auto n = Signal::Numbers::number_of(sig);
        if (!n) return {0, 0, "“" + signal + "” is not a known signal."};
        signo = *n;
    } else {
        auto n = Number::parse<int>(sig, 0, 64);
        if (!n) return {0, 0, "“" + signal + "” is not a known signal."};
        signo = *n;
    }
    if (auto* s = std::get_if<std::string>(&name); s && *s == "init")
        throw Exception::create(Exception::Kinds::InvalidParameter,
                                {{"message", "Refusing to signal “init”."}});
    std::vector<pid_t> sent;
    for (pid_t p : candidates(name, immune_pids, allowed_owners)) {
        if (::kill(p, signo) == 0)
            sent.push_back(p);
        else
            Debug::log_warn(fmt::format("The system failed to send signal {} to process {}: {}", signo, p,
                                        std::strerror(errno)));
    }
    std::string msg = fmt::format("Sent signal {} to {} process{} ({}) named “{}”.", signal, sent.size(),
                                  sent.size() == 1 ? "" : "es", fmt::join(sent, " "), label_of(name));
    say(verbose, msg + "\n");
    return {1, static_cast<int>(sent.size()), msg};
}

std::pair<int, std::string> _verify_proc_mounted() {
    std::string probe = ProcFs::proc_root() + "/self/stat";
    if (FileUtils::exists(probe)) return {1, "/proc is mounted."};
    if (::geteuid() != 0) return {0, "/proc is not mounted."};
    say(true, "/proc is not mounted; mounting it now.\n");
    SafeRun::Simple::saferun({"/bin/mount", "-t", "proc", "proc", ProcFs::proc_root()});
    if (FileUtils::exists(probe)) return {1, "/proc was mounted."};
    return {0, "/proc could not be mounted."};
}

}  // namespace Vexlan::Kill
