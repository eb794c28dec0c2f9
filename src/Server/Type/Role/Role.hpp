#pragma once
// Server roles: functional parts of the server (web, mail, DNS...) an administrator can
// switch off. Each role owns a list of services; its state is per role, decided once per
// process.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vexlan::Server::Type {

class Role {
public:
    virtual ~Role() = default;
    // "Vexlan::Server::Type::Role::<name>".
    std::string class_name() const { return "Vexlan::Server::Type::Role::" + short_name(); }
    virtual std::string short_name() const = 0;
    virtual std::string _NAME() const = 0;
    virtual std::string _DESCRIPTION() const { return ""; }
    virtual std::vector<std::string> SERVICES() const { return {}; }
    virtual std::vector<std::string> RESTART_SERVICES() const { return {}; }
    virtual bool _is_available() const { return true; }
    virtual bool _is_enabled() const = 0;

    // Cached for the process: available and enabled (availability asked first).
    int is_enabled() const;
    int is_available() const;
    // Raises RoleDisabled naming the role when it is off.
    void verify_enabled() const;
};

// A role switched off by the existence of its marker file.
class TouchFileRole : public Role {
public:
    virtual std::string _TOUCHFILE() const;
    bool _is_enabled() const override { return !check_touchfile(); }
    // Whether the marker exists; errors other than a missing file are raised.
    bool check_touchfile() const;
};

namespace Role_ {
// The role by short name ("WebServer"), or nullptr.
const Role* get(const std::string& short_name);
// Every role's class name, in catalogue order.
const std::vector<std::string>& get_all_possible_roles();
}  // namespace Role_

// Role decisions by class name: "0" or "1".
namespace EnabledCache {
std::string set(const std::string& class_name, const std::string& value);
std::optional<std::string> get(const std::string& class_name);
std::optional<std::string> unset(const std::string& class_name);
void _unset_all();
}  // namespace EnabledCache

// Forgets every availability decision (tests).
void clear_available_cache();

}  // namespace Vexlan::Server::Type
