#pragma once
// Which version of a package is installed, asked of the distribution's package tools.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vexlan::Pkgr {

// The package-query class of the distribution's family.
class Base {
public:
    virtual ~Base() = default;
    // Package -> version for the installed ones; nothing when the tool could not answer
    // (missing, failed, or timed out on a locked database).
    virtual std::optional<std::map<std::string, std::string>> get_version_for_packages(const std::vector<std::string>& packages) = 0;
    bool with_arch_suffix = false;
    // Seconds a package tool may take.
    static constexpr double TOOL_TIMEOUT = 30;
};

// dpkg-based systems, through dpkg-query.
class Apt : public Base {
public:
    std::optional<std::map<std::string, std::string>> get_version_for_packages(const std::vector<std::string>& packages) override;
    // "ii  name version arch" lines of installed packages.
    static std::map<std::string, std::string> parse(const std::string& output, bool with_arch_suffix);
};

// rpm-based systems, through rpm.
class Yum : public Base {
public:
    std::optional<std::map<std::string, std::string>> get_version_for_packages(const std::vector<std::string>& packages) override;
    // "name version" lines; "package x is not installed" lines dropped.
    static std::map<std::string, std::string> parse(const std::string& output);
};

// The process's package-query object, of the class the distribution names.
Base& instance();

// The installed version, or nothing when the package is not installed or the tool cannot
// tell (then see package_state).
std::optional<std::string> get_package_version(const std::string& package);

enum class State { Installed, Missing, Unknown };
// Installed, not installed, or unknown (no tool, a failing tool, a locked database).
State package_state(const std::string& package, std::string* version = nullptr);

}  // namespace Vexlan::Pkgr
