// The listing when /proc cannot be read: the same records, taken from `ps`.
#include <unistd.h>

#include <sstream>

#include "Process/ProcFs.hpp"
#include "Process/PsParser/PsParser.hpp"
#include "SafeRun/Simple.hpp"

namespace Vexlan::PsParser {

std::vector<ProcessRecord> parse_ps(const Options& o) {
    std::vector<ProcessRecord> out;
    auto text = SafeRun::Simple::saferunnoerror({"ps", "-eww", "-o", "pid=,uid=,ppid=,stat=,ni=,args="});
    if (!text) return out;
    std::istringstream lines(*text);
    std::string line;
    const pid_t self = ::getpid();
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        ProcessRecord r;
        long pid = 0, uid = 0, ppid = 0;
        if (!(in >> pid >> uid >> ppid >> r.state >> r.nice)) continue;
        std::getline(in >> std::ws, r.command);
        r.pid = static_cast<pid_t>(pid);
        r.uid = static_cast<uid_t>(uid);
        r.ppid = static_cast<pid_t>(ppid);
        r.user = r.uid == 0 ? SUPERUSER : (o.resolve_uids ? ProcFs::user_name(r.uid) : std::to_string(r.uid));
        r.state = r.state.substr(0, 1);
        if (o.exclude_self && r.pid == self) continue;
        if (o.want_pid && *o.want_pid != r.pid) continue;
        if (o.want_uid && *o.want_uid != r.uid) continue;
        // ps gives no flags: a kernel thread is the one without a command line ("[name]").
        if (o.exclude_kernel && (r.pid == 1 || (r.command.starts_with("[") && r.command.ends_with("]")))) continue;
        if (o.skip_cmdline) r.command.clear();
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace Vexlan::PsParser
