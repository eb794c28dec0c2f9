#include "Systemd/SystemdBus.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "Util/File.hpp"
#include "Util/Paths.hpp"
#include "Util/Time.hpp"

namespace Vexlan::RestartSrv::Systemd {

namespace {
constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";

// Frees sd-bus objects at the end of a scope.
struct Message {
    sd_bus_message* m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};
struct Error {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&e); }
    std::string text(int r) const { return e.message ? e.message : std::strerror(-r); }
};
struct Path {
    char* p = nullptr;
    ~Path() { std::free(p); }
};

// A property value the way systemctl show prints it; nullopt for the types no caller reads.
std::optional<std::string> read_value(sd_bus_message* m, const char* contents) {
    const std::string_view type = contents;
    if (type.size() == 1) {
        union {
            const char* s;
            int b;
            uint8_t y;
            int16_t n;
            uint16_t q;
            int32_t i;
            uint32_t u;
            int64_t x;
            uint64_t t;
            double d;
        } v{};
        if (sd_bus_message_read_basic(m, type[0], &v) < 0) return std::nullopt;
        switch (type[0]) {
            case 's': case 'o': case 'g': return std::string(v.s ? v.s : "");
            case 'b': return std::string(v.b ? "yes" : "no");
            case 'y': return std::to_string(v.y);
            case 'n': return std::to_string(v.n);
            case 'q': return std::to_string(v.q);
            case 'i': return std::to_string(v.i);
            case 'u': return std::to_string(v.u);
            case 'x': return std::to_string(v.x);
            case 't': return std::to_string(v.t);
            case 'd': return fmt::format("{}", v.d);
            default: return std::nullopt;
        }
    }
    if (type == "ay") {  // InvocationID: 16 bytes, printed as 32 hex digits
        const void* data = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(m, 'y', &data, &size) < 0) return std::nullopt;
        std::string hex;
        for (size_t i = 0; i < size; ++i) hex += fmt::format("{:02x}", static_cast<const uint8_t*>(data)[i]);
        return hex;
    }
    if (type == "(uo)") {  // Job: its id, or nothing when no job is queued
        uint32_t id = 0;
        const char* path = nullptr;
        if (sd_bus_message_read(m, "(uo)", &id, &path) < 0) return std::nullopt;
        return id ? std::to_string(id) : std::string();
    }
    return std::nullopt;
}


const std::map<std::string, std::string>& service_result_explanations() {
    static const std::map<std::string, std::string> kWhy = {
        {"resources", "of unavailable resources or another system error"},
        {"protocol", "the service did not take the steps required by its unit configuration"},
        {"timeout", "a timeout was exceeded"},
        {"exit-code", "the control process exited with error code"},
        {"signal", "a fatal signal was delivered to the control process"},
        {"core-dump", "a fatal signal was delivered causing the control process to dump core"},
        {"watchdog", "the service failed to send watchdog ping"},
        {"start-limit-hit", "start of the service was attempted too often"},
    };
    return kWhy;
}

std::string see_also(const std::string& unit) {
    return fmt::format("See \"systemctl status {0}\" and \"journalctl -xeu {0}\" for details.", unit);
}

// Why a job failed, in the words systemctl uses, so a caller learns as much from us.
std::string failed_job_text(const std::string& unit, const std::string& service_result) {
    auto it = service_result_explanations().find(service_result);
    if (it != service_result_explanations().end())
        return fmt::format("Job for {} failed because {}.\n{}", unit, it->second, see_also(unit));
    return fmt::format("Job for {} failed.\n{}", unit, see_also(unit));
}

std::string job_result_text(const std::string& unit, const std::string& result, const std::string& service_result) {
    if (result == "canceled") return fmt::format("Job for {} canceled.", unit);
    if (result == "timeout") return fmt::format("Job for {} timed out.", unit);
    if (result == "dependency") return fmt::format("A dependency job for {} failed. See 'journalctl -xe' for details.", unit);
    if (result == "invalid") return fmt::format("{} is not active, cannot reload.", unit);
    if (result == "assert") return fmt::format("Assertion failed on job for {}.", unit);
    if (result == "unsupported") return fmt::format("Operation on or unit type of {} not supported on this system.", unit);
    if (result == "collected") return fmt::format("Queued job for {} was garbage collected.", unit);
    if (result == "once") return fmt::format("Unit {} was started already once and can't be started again.", unit);
    return failed_job_text(unit, service_result);
}

// The properties anyone in the program reads; the other few hundred are skipped unread.
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";
constexpr std::string_view kUnitKeys[] = {"LoadState",  "ActiveState", "SubState",  "FragmentPath",
                                          "UnitFileState", "Job",     "Id",        "CanReload",
                                          "SourcePath", "ActiveEnterTimestampMonotonic"};
// Asked for on their own: systemd lists them near the end of the unit's hundred properties,
// and the answer to the others is read only as far as the last one wanted (a third of the
// decoding a status does).
constexpr const char* kLateUnitKeys[] = {"InvocationID"};
constexpr const char* kServiceKeys[] = {"Type",           "MainPID",        "PIDFile",  "Result",
                                        "ExecMainCode",   "ExecMainStatus", "ExecMainStartTimestamp",
                                        "NRestarts",      "ControlGroup",   "KillMode"};
bool wanted(std::string_view key) {
    for (auto k : kUnitKeys)
        if (k == key) return true;
    return false;
}

// The value inside a variant, as text.
std::optional<std::string> read_variant(sd_bus_message* m) {
    const char* contents = nullptr;
    char type = 0;
    if (sd_bus_message_peek_type(m, &type, &contents) < 0 || sd_bus_message_enter_container(m, 'v', contents) < 0)
        return std::nullopt;
    auto value = read_value(m, contents);
    if (!value && sd_bus_message_skip(m, contents) < 0) return std::nullopt;
    if (sd_bus_message_exit_container(m) < 0) return std::nullopt;
    return value;
}

// Answers to the property questions of one unit, filled in as they arrive.
struct PropertyAnswers {
    PropertyMap map;
    bool unit_ok = false;
    int pending = 0;
};
struct SingleAnswer {
    PropertyAnswers* answers = nullptr;
    const char* key = nullptr;
    std::optional<std::string> value;
};
struct Slot {
    sd_bus_slot* s = nullptr;
    Slot(sd_bus_slot* slot) : s(slot) {}
    Slot(Slot&& o) noexcept : s(std::exchange(o.s, nullptr)) {}
    Slot(const Slot&) = delete;
    ~Slot() { sd_bus_slot_unref(s); }
};
// As long as sd-bus's own default for a method call.
constexpr double kAnswerTimeout = 25.0;

int on_unit_properties(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* answers = static_cast<PropertyAnswers*>(userdata);
    --answers->pending;
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
    size_t found = 0;
    while (found < std::size(kUnitKeys) && sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read_basic(m, 's', &key) < 0 || !key) return 0;
        if (wanted(key)) {
            ++found;
            if (auto value = read_variant(m)) answers->map[key] = std::move(*value);
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return 0;
        }
        // An entry left half read means a malformed answer: no half-filled map is believed.
        if (sd_bus_message_exit_container(m) < 0) return 0;
    }
    answers->unit_ok = true;
    return 0;
}

int on_single_property(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* answer = static_cast<SingleAnswer*>(userdata);
    --answer->answers->pending;
    if (!sd_bus_message_is_method_error(m, nullptr)) answer->value = read_variant(m);
    return 0;
}

struct JobWatch {
    std::map<std::string, std::string> finished;  // job path -> result
};

int on_job_removed(sd_bus_message* m, void* userdata, sd_bus_error*) {
    uint32_t id = 0;
    const char *path = nullptr, *unit = nullptr, *result = nullptr;
    if (sd_bus_message_read(m, "uoss", &id, &path, &unit, &result) >= 0 && path && result)
        static_cast<JobWatch*>(userdata)->finished[path] = result;
    return 0;
}
}  // namespace

std::string verb_of(std::string_view method) {
    static constexpr std::pair<std::string_view, const char*> kVerbs[] = {
        {"StartUnit", "start"}, {"StopUnit", "stop"}, {"ReloadUnit", "reload"}, {"RestartUnit", "restart"}};
    for (const auto& [m, verb] : kVerbs)
        if (m == method) return verb;
    return std::string(method);
}

std::string failed_unit_text(const std::string& unit, const std::string& doing, const std::string& service_result) {
    auto it = service_result_explanations().find(service_result);
    std::string why = it != service_result_explanations().end() ? it->second : "of “" + service_result + "”";
    return fmt::format("{} {} failed because {}.\n{}", doing, unit, why, see_also(unit));
}

Bus& Bus::get() {
    static Bus bus;
    return bus;
}

Bus::~Bus() { close(); }

void Bus::close() {
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
    tried_ = false;
    subscribed_ = false;
    forget();
}

void Bus::forget() {
    properties_.clear();
    processes_.clear();
}

bool Bus::reachable() { return connect(); }

bool Bus::connect() {
    if (tried_) return bus_ != nullptr;
    tried_ = true;
    const std::string private_socket = Paths::get(Paths::Key::SystemdPrivateSocket);
    int r = -ENOENT;
    // As root the manager answers on its private socket, no bus daemon needed.
    if (::geteuid() == 0 && FileUtils::exists(private_socket)) {
        r = sd_bus_new(&bus_);
        if (r >= 0) r = sd_bus_set_address(bus_, ("unix:path=" + private_socket).c_str());
        if (r >= 0) r = sd_bus_start(bus_);
        if (r < 0) bus_ = sd_bus_unref(bus_);
    }
    if (!bus_ && FileUtils::is_directory(Paths::get(Paths::Key::SystemdRunDir))) {
        r = sd_bus_open_system(&bus_);
        if (r < 0) bus_ = sd_bus_unref(bus_);
    }
    if (!bus_) {
        why_ = FileUtils::is_directory(Paths::get(Paths::Key::SystemdRunDir))
                   ? fmt::format("systemd's bus cannot be reached: {}", std::strerror(-r))
                   : std::string("systemd is not running on this system");
        return false;
    }
    return true;
}

const PropertyMap* Bus::unit_properties(const std::string& unit) {
    for (const auto& [name, map] : properties_)
        if (name == unit) return map.get();
    if (!connect()) return nullptr;
    Path path;
    if (sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit.c_str(), &path.p) < 0) return nullptr;
    // Measured against one GetAll of every interface (some 400 properties that systemd must
    // serialise and we must walk): all of the unit interface's properties, and the few
    // service properties one by one, cost less time on both sides. The questions go out
    // together and the answers are collected after, so they cost one round trip, not nine.
    PropertyAnswers answers;
    std::vector<Slot> slots;
    auto ask = [&](const char* member, sd_bus_message_handler_t handler, void* userdata, const char* interface,
                   const char* key) {
        sd_bus_slot* slot = nullptr;
        ++calls_;
        int r = key ? sd_bus_call_method_async(bus_, &slot, kDestination, path.p, "org.freedesktop.DBus.Properties", member,
                                               handler, userdata, "ss", interface, key)
                    : sd_bus_call_method_async(bus_, &slot, kDestination, path.p, "org.freedesktop.DBus.Properties", member,
                                               handler, userdata, "s", interface);
        if (r < 0) return false;
        slots.push_back(Slot{slot});
        ++answers.pending;
        return true;
    };
    if (!ask("GetAll", on_unit_properties, &answers, kUnitInterface, nullptr)) return nullptr;
    std::vector<SingleAnswer> late(std::size(kLateUnitKeys));
    for (size_t i = 0; i < std::size(kLateUnitKeys); ++i) {
        late[i] = {&answers, kLateUnitKeys[i], {}};
        ask("Get", on_single_property, &late[i], kUnitInterface, kLateUnitKeys[i]);
    }
    // Only a loaded service unit has the service interface; a question to any other unit
    // is answered with an error and its answer ignored.
    std::vector<SingleAnswer> service(std::size(kServiceKeys));
    if (unit.ends_with(".service"))
        for (size_t i = 0; i < std::size(kServiceKeys); ++i) {
            service[i] = {&answers, kServiceKeys[i], {}};
            ask("Get", on_single_property, &service[i], kServiceInterface, kServiceKeys[i]);
        }
    if (!wait_for_answers(answers.pending)) return nullptr;
    if (!answers.unit_ok) return nullptr;
    auto map = std::make_unique<PropertyMap>(std::move(answers.map));
    for (auto& one : late)
        if (one.value) (*map)[one.key] = std::move(*one.value);
    // A unit masked while it runs still has its processes, and its main pid is what says so.
    if ((*map)["LoadState"] == "loaded" || (*map)["LoadState"] == "masked")
        for (auto& one : service)
            if (one.value) (*map)[one.key] = std::move(*one.value);
    properties_.emplace_back(unit, std::move(map));
    return properties_.back().second.get();
}

bool Bus::wait_for_answers(const int& pending) {
    const double deadline = Time::monotonic_seconds_f() + kAnswerTimeout;
    while (pending > 0) {
        int r = sd_bus_process(bus_, nullptr);
        if (r < 0) return false;
        if (r > 0) continue;
        const double left = deadline - Time::monotonic_seconds_f();
        if (left <= 0 || sd_bus_wait(bus_, static_cast<uint64_t>(left * 1e6)) < 0) return false;
    }
    return true;
}

std::optional<std::vector<UnitProcess>> Bus::unit_processes(const std::string& unit) {
    for (const auto& [name, list] : processes_)
        if (name == unit) return list;
    if (!connect()) return std::nullopt;
    Error error;
    Message reply;
    ++calls_;
    int r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManager, "GetUnitProcesses", &error.e, &reply.m, "s",
                               unit.c_str());
    std::vector<UnitProcess> list;
    if (r < 0) {
        // A unit that is not loaded has no processes; any other failure is no answer.
        if (sd_bus_error_has_name(&error.e, "org.freedesktop.systemd1.NoSuchUnit")) {
            processes_.emplace_back(unit, list);
            return list;
        }
        return std::nullopt;
    }
    if (sd_bus_message_enter_container(reply.m, 'a', "(sus)") < 0) return std::nullopt;
    const char *cgroup = nullptr, *command = nullptr;
    uint32_t pid = 0;
    while ((r = sd_bus_message_read(reply.m, "(sus)", &cgroup, &pid, &command)) > 0)
        list.push_back({cgroup ? cgroup : "", static_cast<pid_t>(pid), command ? command : ""});
    if (r < 0) return std::nullopt;
    processes_.emplace_back(unit, list);
    return list;
}

void Bus::end_subscription() {
    // Over the system bus a subscriber is sent a signal for every unit that systemd loads
    // or frees, and later property reads would pay for them. (The private socket is sent
    // them regardless.) Signals already queued are dropped unread.
    if (!subscribed_) return;
    Error ignored;
    ++calls_;
    sd_bus_call_method(bus_, kDestination, kManagerPath, kManager, "Unsubscribe", &ignored.e, nullptr, "");
    subscribed_ = false;
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
}

JobOutcome Bus::run_job(const std::string& method, const std::string& unit, double timeout_seconds,
                        std::string_view asked) {
    JobOutcome out;
    const std::string verb = asked.empty() ? verb_of(method) : std::string(asked);
    if (!connect()) {
        out.error = fmt::format("Failed to {} {}: {}", verb, unit, why_);
        return out;
    }
    forget();
    JobWatch watch;
    sd_bus_slot* match = nullptr;
    // Listen before asking, so that a job that ends at once is still seen; unheard, its end
    // would look like a time-out, so no job is asked for then.
    int r = sd_bus_match_signal(bus_, &match, kDestination, kManagerPath, kManager, "JobRemoved", on_job_removed, &watch);
    const Slot slot{match};
    if (r < 0) {
        out.error = fmt::format("Failed to {} {}: the end of its job cannot be watched: {}", verb, unit, std::strerror(-r));
        return out;
    }
    if (!subscribed_) {
        Error ignored;
        ++calls_;
        subscribed_ = sd_bus_call_method(bus_, kDestination, kManagerPath, kManager, "Subscribe", &ignored.e, nullptr, "") >= 0;
    }
    Error error;
    Message reply;
    ++calls_;
    r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManager, method.c_str(), &error.e, &reply.m, "ss", unit.c_str(),
                           "replace");
    const char* job = nullptr;
    if (r < 0 || sd_bus_message_read(reply.m, "o", &job) < 0 || !job) {
        out.error = fmt::format("Failed to {} {}: {}", verb, unit, error.text(r));
        end_subscription();
        forget();
        return out;
    }
    const std::string job_path = job;
    const double deadline = Time::monotonic_seconds_f() + timeout_seconds;
    while (!watch.finished.contains(job_path)) {
        r = sd_bus_process(bus_, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        double left = deadline - Time::monotonic_seconds_f();
        if (left <= 0) break;
        if (sd_bus_wait(bus_, static_cast<uint64_t>(left * 1e6)) < 0) break;
    }
    end_subscription();
    forget();
    auto it = watch.finished.find(job_path);
    if (it == watch.finished.end()) {
        out.result = "timeout";
        out.error = fmt::format("Job for {} did not end within {} seconds.", unit, timeout_seconds);
        return out;
    }
    out.result = it->second;
    out.ok = out.result == "done" || out.result == "skipped";
    if (!out.ok) {
        std::string service_result;
        if (out.result == "failed") {
            if (auto* props = unit_properties(unit); props && props->contains("Result")) service_result = props->at("Result");
        }
        out.error = job_result_text(unit, out.result, service_result);
    }
    return out;
}

}  // namespace Vexlan::RestartSrv::Systemd
