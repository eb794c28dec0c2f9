#include "SafeRun/Extra.hpp"

#include <cstdlib>

#include "Exception/Exception.hpp"
#include "SafeRun/IOCallbackWriteLine.hpp"

namespace Vexlan::SafeRun {

Object Extra::run(ExtraOptions o) {
    using Hook = std::function<void(const std::string&)>;
    std::vector<Hook> out_hooks, err_hooks;
    if (o.logger) {
        LineLogger* logger = o.logger;
        Hook h = [logger](const std::string& line) { logger->log_line(line); };
        out_hooks.push_back(h);
        err_hooks.push_back(h);
    }
    if (o.buffer) {
        if (!o.stdout_buffer) o.stdout_buffer = o.buffer;
        if (!o.stderr_buffer) o.stderr_buffer = o.buffer;
    }
    auto appender = [](std::string* buf) {
        return Hook([buf](const std::string& line) {
            if (!line.empty()) buf->append(line);
        });
    };
    if (o.stdout_buffer) out_hooks.push_back(appender(o.stdout_buffer));
    if (o.stderr_buffer) err_hooks.push_back(appender(o.stderr_buffer));

    if (o.env) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "The option is “envs”, not “env”."}});
    std::map<std::string, std::string> to_set;
    if (auto* names = std::get_if<std::vector<std::string>>(&o.envs)) {
        for (const auto& n : *names)
            if (const char* v = std::getenv(n.c_str())) to_set[n] = v;
    } else if (auto* values = std::get_if<std::map<std::string, std::string>>(&o.envs)) {
        to_set = *values;
    }
    if (!to_set.empty()) {
        auto caller = o.base.before_exec;
        o.base.before_exec = [to_set, caller]() {
            for (const auto& [k, v] : to_set) ::setenv(k.c_str(), v.c_str(), 1);
            if (caller) caller();
        };
    }

    std::shared_ptr<IOCallbackWriteLine> out_sink, err_sink;
    auto make_sink = [](std::vector<Hook> hooks) {
        return std::make_shared<IOCallbackWriteLine>([hooks](const std::string& line) {
            for (const auto& h : hooks) h(line);
        });
    };
    if (!out_hooks.empty()) {
        if (o.base.stdout_handle) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“stdout” was given together with line hooks."}});
        out_sink = make_sink(out_hooks);
        o.base.stdout_handle = OutputHandle{std::static_pointer_cast<Sink>(out_sink)};
    }
    if (!err_hooks.empty()) {
        if (o.base.stderr_handle) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“stderr” was given together with line hooks."}});
        err_sink = make_sink(err_hooks);
        o.base.stderr_handle = OutputHandle{std::static_pointer_cast<Sink>(err_sink)};
    }
    Object result(std::move(o.base));
    // Closing the sinks delivers a final line that had no line end.
    if (out_sink) out_sink->close();
    if (err_sink) err_sink->close();
    return result;
}

}  // namespace Vexlan::SafeRun
