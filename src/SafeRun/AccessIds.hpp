#pragma once
// Switching to another user: for code that must act as a service's user, never as root.
#include <functional>
#include <string>
#include <sys/types.h>

namespace Vexlan::AccessIds {

namespace SetUids {
// Makes this process the user for good: its groups, group and user ids (real, effective and
// saved). Throws UserNotFound or SystemCall; root is refused as a target by name only when
// `user` is empty.
void setuids(const std::string& user);
}  // namespace SetUids

// Runs `code` in a child as the user and waits; the child's wait status.
int runasuser(const std::string& user, const std::function<void()>& code);

}  // namespace Vexlan::AccessIds
