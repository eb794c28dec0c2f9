#include "Server/Type/Profile/Roles.hpp"

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "Exception/Exception.hpp"
#include "Server/Type/Role/Role.hpp"

namespace Vexlan::Server::Type::Profile {

namespace {
const std::map<std::string, std::vector<std::string>>& catalogue() {
    static const std::map<std::string, std::vector<std::string>> kOptional = {
        {"STANDARD", {}},
        {"MAIL_NODE",
         {"Vexlan::Server::Type::Role::CalendarContact", "Vexlan::Server::Type::Role::SpamFilter"}},
        {"DNS_NODE", {"Vexlan::Server::Type::Role::MailSend"}},
        {"DATABASE_NODE", {"Vexlan::Server::Type::Role::MySQL", "Vexlan::Server::Type::Role::Postgres"}},
    };
    return kOptional;
}
}  // namespace

const std::vector<std::string>& ENABLED_IN_ALL_PROFILES() {
    static const std::vector<std::string> kAlways = {"MailSend"};
    return kAlways;
}

const std::vector<std::string>& optional_roles(const std::string& profile) {
    auto it = catalogue().find(profile);
    if (it == catalogue().end())
        throw Exception::create(Exception::Kinds::InvalidParameter,
                                {{"message", fmt::format("“{}” is not a server profile.", profile)}});
    return it->second;
}

}  // namespace Vexlan::Server::Type::Profile

namespace Vexlan::Server::Type::Profile::Roles {

namespace {
bool always_on(const std::string& role) {
    const auto& always = ENABLED_IN_ALL_PROFILES();
    return std::find(always.begin(), always.end(), role) != always.end();
}

const Role& role_or_raise(const std::string& role) {
    const Role* r = Type::Role_::get(role);
    if (!r)
        throw Exception::create(
            Exception::Kinds::ModuleLoadError,
            {{"module", "Vexlan::Server::Type::Role::" + role}, {"error", "no such role"}});
    return *r;
}

bool any_mode(const Spec& spec) {
    if (spec.match == "all") return false;
    if (spec.match == "any") return true;
    throw Exception::create(
        Exception::Kinds::InvalidParameter,
        {{"message", fmt::format("The parameter “match” must be “all” or “any”, not “{}”.", spec.match)}});
}
}  // namespace

int is_role_enabled(const std::string& role) {
    return always_on(role) ? 1 : role_or_raise(role).is_enabled();
}

int is_service_allowed(const std::string& service) {
    std::vector<std::string> roles;
    for (const auto& class_name : Type::Role_::get_all_possible_roles()) {
        const auto* r = Type::Role_::get(class_name.substr(class_name.rfind("::") + 2));
        auto services = r->SERVICES();
        if (std::find(services.begin(), services.end(), service) != services.end())
            roles.push_back(r->short_name());
    }
    if (roles.empty()) return 1;
    for (const auto& role : roles)
        if (is_role_enabled(role)) return 1;
    return 0;
}

bool are_roles_enabled(const Spec& spec) {
    const bool any = any_mode(spec);
    for (const auto& role : spec.roles) {
        const bool on = is_role_enabled(role);
        if (any && on) return true;
        if (!any && !on) return false;
    }
    return !any;
}

void verify_roles_enabled(const Spec& spec) {
    const bool any = any_mode(spec);
    std::vector<std::string> off;
    for (const auto& role : spec.roles)
        if (!is_role_enabled(role)) off.push_back(role);
    if (off.empty() || (any && off.size() < spec.roles.size())) return;
    throw Exception::create(Exception::Kinds::RoleDisabled,
                            {{"role", fmt::format("{}", fmt::join(off, ", "))}});
}

void verify_roles_enabled(const std::string& role) {
    if (always_on(role)) return;
    role_or_raise(role).verify_enabled();
}

std::map<std::string, int> get_optional_roles_for_profile(const std::string& profile) {
    std::map<std::string, int> out;
    for (const auto& class_name : optional_roles(profile))
        out[class_name] = is_role_enabled(class_name.substr(class_name.rfind("::") + 2));
    return out;
}

}  // namespace Vexlan::Server::Type::Profile::Roles
