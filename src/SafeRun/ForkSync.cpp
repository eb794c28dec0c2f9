#include "SafeRun/ForkSync.hpp"

#include "SafeRun/Child.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Exception/Exception.hpp"
#include "SafeRun/ForkAsync.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/UniqueFd.hpp"

namespace Vexlan {

namespace {
using json = nlohmann::json;

bool valid_utf8(const std::string& s) {
    try {
        (void)json(s).dump();
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

json exception_report(std::exception_ptr ep) {
    json report = json::object();
    try {
        std::rethrow_exception(ep);
    } catch (const Exception::Base& e) {
        report["_exception"] = e.to_string();
        report["_full_exception_text"] = "==== exception in child " + std::to_string(::getpid()) + " ====\n" +
                                         e.to_string() + "\n" + e.longmess() + "==== end of exception ====";
        json metadata = json::object();
        for (auto it = e.fields().begin(); it != e.fields().end(); ++it)
            if (!it->is_structured()) metadata[it.key()] = *it;
        json structured = {{"class", e.class_name()},
                           {"string", e.to_string()},
                           {"longmess", e.longmess()},
                           {"metadata", metadata}};
        if (e.get("error").is_number_integer() && e.get("error").get<int>() != 0)
            structured["metadata_errno"] = e.get("error").get<int>();
        report["_structured_exception"] = structured;
    } catch (const json& data) {
        report["_exception"] = data;
        report["_structured_exception"] = data;
    } catch (const std::exception& e) {
        report["_exception"] = e.what();
        report["_full_exception_text"] = e.what();
    } catch (...) {
        report["_exception"] = "unknown error";
        report["_full_exception_text"] = "unknown error";
    }
    return report;
}
}  // namespace

bool ForkSync::is_encodable(const json& value) {
    switch (value.type()) {
        case json::value_t::discarded:
            return false;
        case json::value_t::string:
            return valid_utf8(value.get_ref<const std::string&>());
        case json::value_t::array:
            for (const auto& v : value)
                if (!is_encodable(v)) return false;
            return true;
        case json::value_t::object:
            for (auto it = value.begin(); it != value.end(); ++it)
                if (!valid_utf8(it.key()) || !is_encodable(*it)) return false;
            return true;
        default:
            return true;
    }
}

json ForkSync::to_plain_data(const json& value) {
    switch (value.type()) {
        case json::value_t::discarded:
            return nullptr;
        case json::value_t::binary:
            return nullptr;
        case json::value_t::string:
            return valid_utf8(value.get_ref<const std::string&>())
                       ? value
                       : json::parse(value.dump(-1, ' ', false, json::error_handler_t::replace));
        case json::value_t::array: {
            json out = json::array();
            for (const auto& v : value) out.push_back(to_plain_data(v));
            return out;
        }
        case json::value_t::object: {
            json out = json::object();
            for (auto it = value.begin(); it != value.end(); ++it)
                out[to_plain_data(json(it.key())).get<std::string>()] = to_plain_data(*it);
            return out;
        }
        default:
            return value;
    }
}

ForkSync::ForkSync(const Code& code) {
    run(nullptr, code, false);
}

ForkSync ForkSync::new_with_parent_callback(const std::function<void()>& parent_code, const Code& code) {
    ForkSync r;
    r.run(&parent_code, code, false);
    return r;
}

ForkSync ForkSync::new_quiet(const Code& code) {
    ForkSync r;
    r.run(nullptr, code, true);
    return r;
}

void ForkSync::run(const std::function<void()>* parent_code, const Code& code, bool quiet) {
    SignalDispositionGuard chld(SIGCHLD, SIG_DFL);
    Pipe pipe = make_pipe();
    const int write_fd = pipe.write.get();
    const int read_fd = pipe.read.get();
    auto child = [&]() {
        pipe.read.reset();
        json report;
        std::exception_ptr raised;
        try {
            json value = code();
            report = {{"_return", value.is_array() ? value : json::array({value})}};
        } catch (...) {
            raised = std::current_exception();
            report = exception_report(raised);
        }
        if (!is_encodable(report)) report = to_plain_data(report);
        std::vector<uint8_t> bytes = json::to_cbor(report);
        if (!FileUtils::write_all(
                write_fd, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())))
            throw Exception::create(Exception::Kinds::IO::FileWriteError,
                                    {{"path", "report pipe"}, {"error", errno}});
        pipe.write.reset();
        if (raised) std::rethrow_exception(raised);
    };
    pid_ = quiet ? ForkAsync::do_in_child_quiet(child) : ForkAsync::do_in_child(child);
    SafeRun::Child owner(pid_);  // ended and reaped on any way out of here
    pipe.write.reset();
    if (parent_code && *parent_code) {
        try {
            (*parent_code)();
        } catch (...) {
            std::fprintf(stderr, "warn [ForkSync] the parent callback failed: %s\n",
                         Exception::get_string(std::current_exception()).c_str());
        }
    }
    const json report = read_report(read_fd);
    pipe.read.reset();
    {
        LastChildStatusGuard keep;
        child_error_ = owner.wait().value_or(0);
    }
    take_report(report);
}

json ForkSync::read_report(int fd) {
    std::string bytes;
    char buf[262144];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            retrieve_err_ = std::string("read failed: ") + std::strerror(errno);
            return nullptr;
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    try {
        return json::from_cbor(bytes);
    } catch (const std::exception& e) {
        retrieve_err_ = std::string("The child's report could not be decoded: ") + e.what();
        return nullptr;
    }
}

void ForkSync::take_report(const json& report) {
    if (!report.is_object()) return;
    if (report.contains("_return")) return_ = report["_return"];
    if (report.contains("_exception"))
        exception_ = report["_exception"].is_string() ? report["_exception"].get<std::string>()
                                                      : report["_exception"].dump();
    if (report.contains("_full_exception_text") && report["_full_exception_text"].is_string())
        full_exception_text_ = report["_full_exception_text"].get<std::string>();
    if (report.contains("_structured_exception")) {
        json s = report["_structured_exception"];
        if (s.is_object() && s.contains("class") && s["class"].is_string()) {
            json metadata = s.value("metadata", json::object());
            if (s.contains("metadata_errno") && s["metadata_errno"].is_number_integer()) {
                int err = s["metadata_errno"].get<int>();
                metadata["error"] = {{"number", err}, {"text", std::strerror(err)}};
            }
            structured_exception_.emplace(s["class"].get<std::string>(), s.value("string", ""),
                                          s.value("longmess", ""), metadata);
        } else {
            structured_data_ = s;
        }
    }
}

bool ForkSync::had_error() const {
    return child_error_.value_or(0) != 0 || exception_.has_value() || retrieve_err_.has_value();
}

std::optional<nlohmann::json> ForkSync::do_in_child_list(const Code& code) {
    ForkSync r(code);
    set_last_child_status(r.CHILD_ERROR().value_or(0));
    if (r.retrieve_err_ || !r.return_.is_array() || r.CHILD_ERROR().value_or(0) != 0) return std::nullopt;
    return r.return_;
}

std::optional<nlohmann::json> ForkSync::do_in_child(const Code& code) {
    auto list = do_in_child_list(code);
    if (!list) return std::nullopt;
    if (list->empty()) return nlohmann::json();
    return list->back();
}

}  // namespace Vexlan
