#include "Process/Proc/PID.hpp"

#include <sys/stat.h>

#include <ctime>

#include "Exception/Exception.hpp"
#include "Process/ProcFs.hpp"
#include "Util/Number.hpp"

namespace Vexlan::Proc {

PID::PID(const std::string& pid) {
    auto n = Number::parse<pid_t>(pid, 1, Number::pid_max());
    if (!n) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“" + pid + "” is not a process ID."}});
    pid_ = *n;
    struct stat st {};
    if (::stat(ProcFs::pid_dir(pid_).c_str(), &st) != 0) ended();
    ctime_ = st.st_ctime;
    start_time_ = ProcFs::start_time(pid_);
}

void PID::ended() const {
    auto quiet = Exception::get_stack_trace_suppressor();
    throw Exception::create(Exception::Kinds::ProcEnded, {{"pid", std::to_string(pid_)}});
}

uid_t PID::uid() {
    if (!uid_) {
        auto u = ProcFs::owner_uid(pid_);
        if (!u) ended();
        uid_ = *u;
    }
    return *uid_;
}

int PID::is_running() const {
    struct stat st {};
    if (::stat(ProcFs::pid_dir(pid_).c_str(), &st) != 0 || st.st_ctime != ctime_) return 0;
    auto stat = ProcFs::read_stat(pid_);
    if (!stat) return 0;
    if (stat->state() == 'Z' || stat->state() == 'X') return 0;
    if (start_time_ && ProcFs::start_time(pid_) != start_time_) return 0;
    return 1;
}

long PID::elapsed_time() const {
    struct stat st {};
    long start = ctime_;
    if (::stat(ProcFs::pid_dir(pid_).c_str(), &st) == 0) start = st.st_atime;
    return static_cast<long>(::time(nullptr)) - start;
}

char PID::state() const {
    auto st = ProcFs::read_stat(pid_);
    if (!st) ended();
    return st->state();
}

std::vector<std::string> PID::cmdline() {
    if (!cmdline_) {
        auto raw = ProcFs::read_cmdline(pid_);
        if (!raw) ended();
        std::vector<std::string> words;
        size_t start = 0;
        while (start < raw->size()) {
            size_t nul = raw->find('\0', start);
            if (nul == std::string::npos) nul = raw->size();
            words.push_back(raw->substr(start, nul - start));
            start = nul + 1;
        }
        cmdline_ = std::move(words);
    }
    return *cmdline_;
}

}  // namespace Vexlan::Proc
