#pragma once
// Which server roles are on, and whether the roles allow a service.
#include <map>
#include <string>
#include <vector>

namespace Vexlan::Server::Type::Profile {

// Roles on in every profile, whatever their markers.
const std::vector<std::string>& ENABLED_IN_ALL_PROFILES();
// Optional role class names of a named profile; raises InvalidParameter for an unknown one.
const std::vector<std::string>& optional_roles(const std::string& profile);

}  // namespace Vexlan::Server::Type::Profile

namespace Vexlan::Server::Type::Profile::Roles {

// 0 only when roles list the service and none of them is on.
int is_service_allowed(const std::string& service);
int is_role_enabled(const std::string& role);

// Several roles: every one must be on (the default), or at least one ("any").
struct Spec {
    std::vector<std::string> roles;
    std::string match = "all";
};
bool are_roles_enabled(const Spec& spec);
// Raises RoleDisabled listing the roles that are off (every-role mode: any off; any-role
// mode: all off); InvalidParameter for another match mode.
void verify_roles_enabled(const Spec& spec);
void verify_roles_enabled(const std::string& role);
std::map<std::string, int> get_optional_roles_for_profile(const std::string& profile);

}  // namespace Vexlan::Server::Type::Profile::Roles
