#include "Pkgr/Pkgr.hpp"

#include <fmt/format.h>

#include "Exception/Exception.hpp"
#include "OS/OS.hpp"
#include "Output/Debug.hpp"
#include "SafeRun/Object.hpp"
#include "Util/File.hpp"
#include "Util/Regex.hpp"
#include "Util/Text.hpp"

namespace Vexlan::Pkgr {

namespace {
// The tool's standard output when it ran to its end within the time-out.
std::optional<std::string> run_tool(const std::string& program, std::vector<std::string> args) {
    if (!FileUtils::is_executable_file(program)) return std::nullopt;
    SafeRun::Options o;
    o.program = program;
    o.args = std::move(args);
    o.timeout = Base::TOOL_TIMEOUT;
    SafeRun::Object run(std::move(o));
    if (run.timed_out()) {
        Debug::log_warn(fmt::format("“{}” did not answer within {} seconds; the package state is unknown.", program, Base::TOOL_TIMEOUT));
        return std::nullopt;
    }
    if (run.signal_code().value_or(0) != 0 || run.exec_failed()) return std::nullopt;
    return run.stdout_text();
}
}  // namespace

std::map<std::string, std::string> Apt::parse(const std::string& output, bool with_arch_suffix) {
    std::map<std::string, std::string> out;
    for (const auto& line : Text::lines(output)) {
        if (!line.starts_with("ii")) continue;
        std::vector<std::string> fields;
        for (const auto& f : Text::split(line, ' '))
            if (!f.empty() && fields.size() < 5) fields.push_back(f);
        if (fields.size() < 3) continue;
        std::string version = fields[2];
        if (with_arch_suffix && fields.size() > 3) version += " (" + fields[3] + ")";
        out[fields[1]] = version;
    }
    return out;
}

std::optional<std::map<std::string, std::string>> Apt::get_version_for_packages(const std::vector<std::string>& packages) {
    std::vector<std::string> args = {"-W", "-f", "${db:Status-Abbrev} ${Package} ${Version} ${Architecture}\\n", "--"};
    args.insert(args.end(), packages.begin(), packages.end());
    // dpkg-query exits 1 when a package is unknown; the lines of the known ones still count.
    auto output = run_tool("/usr/bin/dpkg-query", args);
    if (!output) return std::nullopt;
    return parse(*output, with_arch_suffix);
}

std::map<std::string, std::string> Yum::parse(const std::string& output) {
    static const Regex kMissing(R"(^package (.+?) is not installed$)");
    static const Regex kLine(R"(^(\S+?)\s+(.+?)$)");
    std::map<std::string, std::string> out;
    for (const auto& line : Text::lines(output)) {
        if (kMissing.match(line)) continue;
        if (auto m = kLine.captures(line)) out[(*m)[1]] = (*m)[2];
    }
    return out;
}

std::optional<std::map<std::string, std::string>> Yum::get_version_for_packages(const std::vector<std::string>& packages) {
    if (packages.empty()) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "A package name is required."}});
    std::vector<std::string> args = {"-q", "--queryformat", "%{NAME} %{VERSION}-%{RELEASE}\\n", "--"};
    args.insert(args.end(), packages.begin(), packages.end());
    auto output = run_tool("/usr/bin/rpm", args);
    if (!output) return std::nullopt;
    return parse(*output);
}

Base& instance() {
    static std::unique_ptr<Base> pkgr = []() -> std::unique_ptr<Base> {
        std::string module;
        try {
            module = OS::package_manager_module();
        } catch (const Exception::Base&) {
            // Unidentified: whichever tool this system has.
        }
        if (module == "Yum" || (module.empty() && !FileUtils::is_executable_file("/usr/bin/dpkg-query")))
            return std::make_unique<Yum>();
        return std::make_unique<Apt>();
    }();
    return *pkgr;
}

State package_state(const std::string& package, std::string* version) {
    if (package.empty()) return State::Missing;
    auto versions = instance().get_version_for_packages({package});
    if (!versions) return State::Unknown;
    auto it = versions->find(package);
    if (it == versions->end() || it->second.empty()) return State::Missing;
    if (version) *version = it->second;
    return State::Installed;
}

std::optional<std::string> get_package_version(const std::string& package) {
    std::string version;
    if (package_state(package, &version) != State::Installed) return std::nullopt;
    return version;
}

}  // namespace Vexlan::Pkgr
