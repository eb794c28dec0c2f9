#include "Process/PwUtils/PwUtils.hpp"

#include "Exception/Exception.hpp"
#include "Process/ProcFs.hpp"

namespace Vexlan::PwUtils {

std::string normalize_to_uid(const std::string& user) {
    if (user.empty()) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "A user is required."}});
    if (user.find_first_not_of("0123456789") == std::string::npos) return user;
    auto uid = ProcFs::uid_of_user(user);
    if (!uid) throw Exception::create(Exception::Kinds::UserNotFound, {{"name", user}});
    return std::to_string(*uid);
}

}  // namespace Vexlan::PwUtils
