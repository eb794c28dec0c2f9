#include "CommandLine/ParseArgv.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Output/Formatted/HTML.hpp"
#include "Output/Formatted/Terminal.hpp"
#include "Output/JsonLines.hpp"
#include "RestartSrv/Legacy.hpp"
#include "Util/Number.hpp"

namespace Vexlan::RestartSrv {

namespace {
std::vector<std::string> g_argv;

// "--name", "-name", "--name=value"; with `negatable` also "--noname" and "--no-name".
struct Match {
    bool matched = false;
    bool value = true;
    std::optional<std::string> inline_value;
};

Match match_option(const std::string& arg, const std::string& name, bool negatable) {
    Match m;
    std::string body;
    if (arg.starts_with("--"))
        body = arg.substr(2);
    else if (arg.starts_with("-") && arg.size() > 2)
        body = arg.substr(1);
    else
        return m;
    std::string value;
    if (auto eq = body.find('='); eq != std::string::npos) {
        value = body.substr(eq + 1);
        body.resize(eq);
        m.inline_value = value;
    }
    if (body == name) {
        m.matched = true;
    } else if (negatable && (body == "no" + name || body == "no-" + name)) {
        m.matched = true;
        m.value = false;
    }
    return m;
}
}  // namespace

const std::vector<std::string>& _get_argv() {
    return g_argv;
}
void _set_argv(std::vector<std::string> args) {
    g_argv = std::move(args);
}

ParsedArgs parseargv() {
    std::vector<std::string> rest;
    ParsedArgs p = parse_option_list(g_argv, rest);
    const bool json = std::find(g_argv.begin(), g_argv.end(), OPT_JSON) != g_argv.end();
    g_argv = std::move(rest);
    if (p.check) {
        const char* header = std::getenv("RESTARTSRV_CHECKMODE_HEADER");
        if (header && *header) {
            // A reader of records reads nothing but records, the header included.
            if (json) {
                JsonLinesOutput().out("==> Service check mode");
            } else {
                std::fputs("==> Service check mode\n", stdout);
                std::fflush(stdout);
            }
        }
    }
    return p;
}

ParsedArgs parse_option_list(const std::vector<std::string>& args, std::vector<std::string>& rest) {
    ParsedArgs p;
    auto set_mode = [&](int mode) {
        p.restart = mode;
        p.check = 0;
        p.status = 0;
    };
    // A flag takes no value: "--stop=0" must not quietly mean "--stop".
    auto flag = [&](const std::string& a, const char* name, bool negatable) {
        Match m = match_option(a, name, negatable);
        if (m.matched && m.inline_value)
            throw Exception::create(
                Exception::Kinds::InvalidParameter,
                {{"message", fmt::format("The option “--{}” takes no value (given “{}”).", name, a)}});
        return m;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        Match m;
        if ((m = match_option(a, "attempt", false)).matched) {
            if (m.inline_value) {
                p.restart_attempts = *m.inline_value;
            } else if (i + 1 < args.size() && !args[i + 1].starts_with("-")) {
                p.restart_attempts = args[++i];
            } else {
                throw Exception::create(Exception::Kinds::InvalidParameter,
                                        {{"message", "The option “--attempt” needs a value."}});
            }
            // A mistyped number must stop the run, not quietly turn it into a restart.
            if (!Number::parse<int>(*p.restart_attempts, 1))
                throw Exception::create(
                    Exception::Kinds::InvalidParameter,
                    {{"message", fmt::format("The option “--attempt” takes a whole number from 1 (given “{}”).",
                                             *p.restart_attempts)}});
        } else if ((m = flag(a, "status", false)).matched) {
            p.status = 1;
        } else if ((m = flag(a, "check", false)).matched) {
            p.check = 1;
        } else if ((m = flag(a, "verbose", true)).matched) {
            p.verbose = m.value ? 1 : 0;
        } else if ((m = flag(a, "debug", true)).matched) {
            p.verbose = m.value ? 2 : 0;
        } else if ((m = flag(a, "stop", true)).matched) {
            set_mode(m.value ? STOP : RESTART);
        } else if ((m = flag(a, "reload", true)).matched) {
            set_mode(m.value ? RELOAD : RESTART);
        } else if ((m = flag(a, "restart", true)).matched) {
            if (m.value)
                set_mode(RESTART);
            else
                p.restart = 0;
        } else if ((m = flag(a, "start", false)).matched) {
            // The word "start": bring the service up, as start<service> does (a running
            // service is restarted).
            set_mode(RESTART);
        } else if ((m = flag(a, "graceful", false)).matched) {
            p.graceful = 1;
        } else {
            rest.push_back(a);
        }
    }
    if (p.status || p.check) {
        p.restart = 0;
        p.graceful.reset();
        p.restart_attempts.reset();
    } else if (p.restart == 0) {
        p.status = 1;
        p.graceful.reset();
        p.restart_attempts.reset();
    }
    return p;
}

std::optional<std::string> option_for_action_word(const std::string& word) {
    static const char* const kWords[] = {"start", "stop", "restart", "reload", "status", "check"};
    for (const char* w : kWords)
        if (word == w) return "--" + word;
    return std::nullopt;
}

bool is_directly_read_argument(const std::string& a) {
    static const char* const kDirect[] = {
        OPT_NON_GRACEFUL,  OPT_FORCE,    OPT_FORCE_ALT, OPT_INITD, "--notconfigured-ok",
        "--no-fpm-status", "--no-audit", "--help",      "-h", "--version", OPT_JSON};
    for (const char* d : kDirect)
        if (a == d) return true;
    return a.starts_with("--systemd-service=") || a.find("html") != std::string::npos;
}

std::unique_ptr<Output> get_formatted_output_object(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == OPT_JSON) return std::make_unique<JsonLinesOutput>();
        if (a.find("html") != std::string::npos) return std::make_unique<Output::Formatted::HTML>();
    }
    return std::make_unique<Output::Formatted::Terminal>();
}

}  // namespace Vexlan::RestartSrv
