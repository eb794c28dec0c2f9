#pragma once
#include <string>

namespace Vexlan::Server::Type::Profile::Roles {

// Whether any enabled server role needs the service. Until server roles exist every
// service is allowed.
bool is_service_allowed(const std::string& service);

}  // namespace Vexlan::Server::Type::Profile::Roles
