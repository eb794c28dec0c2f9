#include "Process/Command/Command.hpp"

#include "Util/Regex.hpp"

namespace Vexlan::Services::Command {

int should_ignore_this_command(const std::string& c) {
    auto has = [&](const char* s) { return c.find(s) != std::string::npos; };
    static const Regex kLogtaild(R"(\blogtaild - [A-Za-z])");
    static const Regex kDovecot(R"(\bdovecot/(?:anvil|log|pop|config|lmtp|imap|auth)\b)");
    static const Regex kWrapperStart(R"(^(?:start|stop)\S+)");
    static const Regex kWrapperPath(R"(/(?:start|stop)\S+)");
    static const Regex kSpamd(R"(/3rdparty(?:/perl/[0-9]+)?/bin/spamd)");
    static const Regex kScripts(R"(perl\s+.*/scripts|perl\s+.*/usr/local/vexlan)");
    if (has("logtaild") && kLogtaild.match(c)) return 1;
    if (has("dovecot") && kDovecot.match(c)) return 1;
    if ((has("start") || has("stop")) && (kWrapperStart.match(c) || kWrapperPath.match(c))) return 1;
    for (const char* s : {"restartsrv", "/usr/local/vexlan/bin/", "tail -f", "vxupdate", "checkservice"})
        if (has(s)) return 1;
    if (has("perl") && !kSpamd.match(c) && kScripts.match(c)) return 1;
    // Tools that merely look at a service's files or processes.
    for (const char* s : {"/usr/bin/less", "/usr/bin/strace", "/usr/bin/gdb", "/usr/bin/ltrace"})
        if (has(s)) return 1;
    return 0;
}

}  // namespace Vexlan::Services::Command
