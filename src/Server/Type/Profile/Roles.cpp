#include "Server/Type/Profile/Roles.hpp"

namespace Vexlan::Server::Type::Profile::Roles {

bool is_service_allowed(const std::string&) { return true; }

}  // namespace Vexlan::Server::Type::Profile::Roles
