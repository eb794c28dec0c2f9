#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Exception/Exception.hpp"
#include "Process/Proc/PID.hpp"
#include "Process/ProcessCheck/Running.hpp"
#include "Process/PwUtils/PwUtils.hpp"
#include "support/ProcessHelpers.hpp"

namespace Kinds = Vexlan::Exception::Kinds;

using namespace testing_support;
using Vexlan::ProcessCheck::Running;

namespace {
Running::Options check_of(pid_t pid, const std::string& user, const std::string& pattern) {
    Running::Options o;
    o.pid = std::to_string(pid);
    o.user = user;
    o.pattern_text = pattern;
    return o;
}

template <class F>
Vexlan::Exception::Base error_of(F f) {
    try {
        f();
    } catch (const Vexlan::Exception::Base& e) {
        return e;
    }
    ADD_FAILURE() << "no error was raised";
    return Vexlan::Exception::create(Kinds::Generic, {{"message", "none"}});
}
}  // namespace

TEST(ProcPID, AnEndedProcessIsRefusedAndBadPidsAreInvalid) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(error_of([&] { Vexlan::Proc::PID p(pid); }).isa(Kinds::ProcEnded));
    for (const char* bad : {"", "0", "12a", "-3"})
        EXPECT_TRUE(error_of([&] { Vexlan::Proc::PID p{std::string(bad)}; }).isa(Kinds::InvalidParameter)) << bad;
}

TEST(ProcPID, IsRunningTurnsZeroWhenTheProcessEndsAndStaysZero) {
    Child c({"sleep", "60"});
    wait_for_exec(c.pid(), "sleep");
    Vexlan::Proc::PID p(c.pid());
    EXPECT_EQ(p.is_running(), 1);
    EXPECT_TRUE(p.state() == 'S' || p.state() == 'R') << p.state();
    EXPECT_EQ(p.cmdline(), (std::vector<std::string>{"sleep", "60"}));
    EXPECT_EQ(p.uid(), ::geteuid());
    EXPECT_GE(p.elapsed_time(), 0);
    ::kill(c.pid(), SIGKILL);
    wait_until([&] { return Vexlan::ProcFs::is_zombie(c.pid()); });
    EXPECT_EQ(p.is_running(), 0) << "a zombie has exited";
    c.wait();
    EXPECT_EQ(p.is_running(), 0);
}

TEST(ProcessCheckRunning, ThePidOfAnotherProgramIsACommandMismatchCarryingItsCommandLine) {
    Child c({"sleep", "60"});
    wait_for_exec(c.pid(), "sleep");
    auto e = error_of([&] { Running(check_of(c.pid(), "root", "nginx")).check_all(); });
    EXPECT_TRUE(e.isa(Kinds::ProcessCheck::CommandMismatch));
    EXPECT_EQ(e.get("cmdline"), "sleep 60");
    EXPECT_EQ(e.get("pid"), std::to_string(c.pid()));
}

TEST(ProcessCheckRunning, TheRightProgramAsTheWrongUserIsAnOwnerMismatch) {
    VX_REQUIRE(::geteuid() == 0, "needs root to run a process as another user");
    Child c({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sleep", "60"});
    wait_for_argv0(c.pid(), "sleep");  // setpriv's own command line names sleep too
    wait_until([&] { return Vexlan::ProcFs::owner_uid(c.pid()) == 65534u; });
    auto e = error_of([&] { Running(check_of(c.pid(), "root", "sleep")).check_all(); });
    EXPECT_TRUE(e.isa(Kinds::ProcessCheck::OwnerMismatch));
    EXPECT_EQ(e.get("expected_uid"), "0");
    EXPECT_EQ(e.get("actual_uid"), "65534");
    EXPECT_EQ(Running(check_of(c.pid(), "nobody", "sleep")).check_all(), 1);
}

TEST(ProcessCheckRunning, TextPatternsMatchLiterally) {
    Child c({"/bin/sh", "-c", "sleep 60; true", "a.b+c"});
    wait_for_exec(c.pid(), "a.b+c");
    std::string me = std::to_string(::geteuid());
    EXPECT_EQ(Running(check_of(c.pid(), me, "true a.b+c")).check_all(), 1);
    EXPECT_TRUE(error_of([&] { Running(check_of(c.pid(), me, "aXbbc")).check_all(); }).isa(Kinds::ProcessCheck::CommandMismatch));
    EXPECT_TRUE(error_of([&] { Running(check_of(c.pid(), me, "a.bb+c")).check_all(); }).isa(Kinds::ProcessCheck::CommandMismatch));
}

TEST(ProcessCheckRunning, AnEmptyCommandLineNeverMatches) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    wait_until([&] { return Vexlan::ProcFs::is_zombie(pid); });
    auto e = error_of([&] { Running(check_of(pid, std::to_string(::geteuid()), "x")).check_all(); });
    EXPECT_TRUE(e.isa(Kinds::ProcessCheck::CommandMismatch));
    ::waitpid(pid, nullptr, 0);
}

TEST(ProcessCheckRunning, IgnoredCommandsAndBadOptionsAreTypedErrors) {
    Child c({"bash", "-c", "exec -a /usr/local/vexlan/bin/restartsrv_x sleep 60"});
    wait_for_argv0(c.pid(), "/usr/local/vexlan/bin/restartsrv_x");
    auto o = check_of(c.pid(), std::to_string(::geteuid()), "restartsrv_x");
    o.use_services_ignore = true;
    EXPECT_TRUE(error_of([&] { Running(o).check_all(); }).isa(Kinds::ProcessCheck::IgnoredCommand));
    EXPECT_TRUE(error_of([&] { Running(check_of(c.pid(), "", "x")); }).isa(Kinds::InvalidParameter));
    EXPECT_TRUE(error_of([&] { Running(check_of(c.pid(), "no-such-user-vx", "x")); }).isa(Kinds::UserNotFound));
    EXPECT_TRUE(error_of([&] { Running(check_of(c.pid(), "root", "")); }).isa(Kinds::InvalidParameter));
}

TEST(PwUtils, NormalizeToUid) {
    EXPECT_EQ(Vexlan::PwUtils::normalize_to_uid("1234"), "1234");
    EXPECT_EQ(Vexlan::PwUtils::normalize_to_uid("root"), "0");
}
