#pragma once
#include <string>
#include <sys/types.h>

namespace Vexlan::PwUtils {

// Digits are returned unchanged; a login name is looked up (without shadow data).
// Throws InvalidParameter for an empty value and UserNotFound for an unknown name.
std::string normalize_to_uid(const std::string& user);

}  // namespace Vexlan::PwUtils
