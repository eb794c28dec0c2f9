// The service object's command interpreter.
#include <cstdio>

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "Output/Formatted/HTML.hpp"
#include "RestartSrv/Legacy.hpp"
#include "CommandLine/ParseArgv.hpp"
#include "ServiceManager/Base.hpp"
#include "Util/Number.hpp"

namespace Vexlan::ServiceManager {

namespace {
// The process argument list is the parser's for the duration of one parse only.
class ArgvSwap {
  public:
    explicit ArgvSwap(const std::vector<std::string>& args) : saved_(RestartSrv::_get_argv()) {
        RestartSrv::_set_argv(args);
    }
    ~ArgvSwap() { RestartSrv::_set_argv(saved_); }

  private:
    std::vector<std::string> saved_;
};

}  // namespace

void Base::run_from_argv(const std::vector<std::string>& args) {
    argv_ = args;
    RestartSrv::ParsedArgs p;
    std::vector<std::string> rest;
    {
        ArgvSwap swap(args);
        p = RestartSrv::parseargv();
        rest = RestartSrv::_get_argv();
        for (const auto& a : args) {
            if (a == RestartSrv::OPT_NON_GRACEFUL) p.graceful = 0;
            if (a == RestartSrv::OPT_FORCE || a == RestartSrv::OPT_FORCE_ALT) call_with_force(1);
        }
        set_output_obj(RestartSrv::get_formatted_output_object(args));
    }
    // An option nobody reads is a typo; acting on a production service anyway (a restart
    // by default) would do what the caller did not ask for.
    for (const auto& a : rest) {
        if (RestartSrv::is_directly_read_argument(a)) continue;
        if (a.size() > 1 && a[0] == '-')
            throw Exception::create(Exception::Kinds::InvalidParameter,
                                    {{"message", "Unknown option “" + a + "”."}});
        // A word that is no action ("statsu", "flsuh") would otherwise fall through to the
        // default action: a restart.
        throw Exception::create(
            Exception::Kinds::InvalidParameter,
            {{"message", fmt::format("“{}” is not an action of “{}” (start, stop, restart, reload, status, check{}).",
                                     a, service(), custom_actions().empty() ? "" : " or the service's own")}});
    }

    verbose(p.verbose);
    // The user counts attempts from 1, the object from 0; the parser refused anything else.
    if (p.restart_attempts)
        if (auto n = Number::parse<int>(*p.restart_attempts, 1)) current_restart_attempt(*n - 1);

    const std::string svc = service();
    if (!p.check && !p.status) {
        if (p.restart == RestartSrv::STOP) {
            service_argv_action("STOP");
            if (!stop()) _generate_stop_exception();
        } else if (p.restart == RestartSrv::RESTART) {
            service_argv_action("RESTART");
            if (!restart(p.graceful)) {
                // A restart of a stopped service became its start, and it is the start that
                // failed: said and logged as such.
                if (service_argv_action() == "START") _generate_start_exception();
                _generate_restart_exception();
            }
        } else if (p.restart == RestartSrv::RELOAD && support_reload()) {
            service_argv_action("RELOAD");
            if (!reload()) _generate_reload_exception();
        } else if (p.restart == RestartSrv::RELOAD && verbose() == 1) {
            // Accepted and done nothing: say so, or the silence reads as a reload.
            output(reload_unsupported_text(svc));
        }
        return;
    }
    if (p.check) {
        service_argv_action("CHECK");
        auto [ok, message] = check_with_message();
        if (ok) {
            if (!message.empty() && message.back() == '\n') message.pop_back();
            print_answer(message.empty() ? fmt::format("Service check for “{}” passed.", svc)
                                         : fmt::format("Service check for “{}” passed: {}", svc, message));
        }
        return;
    }
    service_argv_action("STATUS");
    print_answer(status());
}

std::string Base::nothing_to_stop_text(const std::string& service) {
    return fmt::format("“{}” is not running; there is nothing to stop.", service);
}

std::string Base::reload_unsupported_text(const std::string& service) {
    return fmt::format("“{}” cannot reload its configuration; nothing was done.", service);
}

void Base::print_answer(const std::string& line) {
    // A program reading records gets the answer as one; a person gets the bare line.
    if (output_obj() && output_obj()->writes_json_lines()) {
        output_obj()->success(line);
        return;
    }
    // A page asked for (--html) gets the answer as a page line, escaped like the rest.
    if (dynamic_cast<Output::Formatted::HTML*>(output_obj())) {
        output_obj()->out(line);
        return;
    }
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace Vexlan::ServiceManager
