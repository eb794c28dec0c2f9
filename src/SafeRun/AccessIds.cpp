#include "SafeRun/AccessIds.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "Exception/Exception.hpp"
#include "SafeRun/Child.hpp"
#include "SafeRun/ForkAsync.hpp"

namespace Vexlan::AccessIds {

void SetUids::setuids(const std::string& user) {
    if (user.empty()) throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "A user is required."}});
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found)
        throw Exception::create(Exception::Kinds::UserNotFound, {{"name", user}});
    // Groups first: once the user id has changed, they can no longer be set.
    if (::initgroups(pw.pw_name, pw.pw_gid) != 0 || ::setresgid(pw.pw_gid, pw.pw_gid, pw.pw_gid) != 0 ||
        ::setresuid(pw.pw_uid, pw.pw_uid, pw.pw_uid) != 0)
        throw Exception::create(Exception::Kinds::SystemCall, {{"name", "setresuid"}, {"error", errno}});
}

int runasuser(const std::string& user, const std::function<void()>& code) {
    SafeRun::Child child(ForkAsync::do_in_child([&] {
        SetUids::setuids(user);
        code();
    }));
    return child.wait().value_or(0);
}

}  // namespace Vexlan::AccessIds
