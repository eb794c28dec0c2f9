// Starting a service's command with its startup log.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "Exception/Exception.hpp"
#include "Process/ProcFs.hpp"
#include "RestartSrv/LoggedStartup.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/ScratchRoot.hpp"
#include "Util/Guards.hpp"

namespace Kinds = Vexlan::Exception::Kinds;
namespace RestartSrv = Vexlan::RestartSrv;
using namespace testing_support;

namespace {
class LoggedStartup : public ScratchRootTest {
protected:
    std::string log(const std::string& service) { return read_file(RestartSrv::startup_log_path(service)); }
    RestartSrv::StartupOptions wait{true, 0};
};
}  // namespace

TEST_F(LoggedStartup, WaitingRunsTheCommandWithItsOutputInTheLogAndItsStatusKept) {
    ASSERT_TRUE(RestartSrv::logged_startup("vxlog", true, {"/bin/sh", "-c", "echo first; exit 3"}, wait));
    EXPECT_EQ(Vexlan::last_child_status(), 3 << 8);
    EXPECT_EQ(log("vxlog"), "first\n");
    RestartSrv::logged_startup("vxlog", false, {"/bin/sh", "-c", "echo second >&2"}, wait);
    EXPECT_EQ(log("vxlog"), "first\nsecond\n") << "appended";
    RestartSrv::logged_startup("vxlog", true, {"/bin/sh", "-c", "kill -TERM $$"}, wait);
    EXPECT_EQ(Vexlan::last_child_status(), (128 + SIGTERM) << 8) << "a killed command is not exit 0";
    EXPECT_EQ(log("vxlog"), "") << "truncated";
    EXPECT_FALSE(RestartSrv::logged_startup("vxlog", true, {root_.file("missing")}, wait));
    EXPECT_EQ(Vexlan::last_child_status(), 512);
    EXPECT_EQ(RestartSrv::fetch_startup_log("ftp-anything").value_or("none"), "none");
    RestartSrv::append_to_startup_log("pure-ftpd", "shared\n");
    EXPECT_EQ(RestartSrv::fetch_startup_log("proftpd"), "shared\n") << "FTP daemons share one log";
}

TEST_F(LoggedStartup, ADetachedDaemonInheritsOnlyItsThreeStreams) {
    Vexlan::UniqueFd stray(::open("/dev/null", O_RDONLY));  // close-on-exec or not, it must not reach the daemon
    ASSERT_NE(::fcntl(stray.get(), F_SETFD, 0), -1);
    auto pid = RestartSrv::logged_startup("vxdaemon", true, {"/bin/sleep", "30"});
    ASSERT_TRUE(pid);
    wait_for_exec(*pid, "sleep");
    auto fds = [&] {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(*pid) + "/fd"))
            out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    };
    // Once sleep sleeps (in clock_nanosleep, call 230), it has loaded its libraries and
    // closed what it opened for that.
    wait_until([&] { return read_file("/proc/" + std::to_string(*pid) + "/syscall").starts_with("230 "); }, 2);
    EXPECT_EQ(fds(), (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(*pid) + "/fd/1"), RestartSrv::startup_log_path("vxdaemon"));
    EXPECT_NE(Vexlan::ProcFs::parent_pid(*pid), ::getpid()) << "detached";
    ::kill(*pid, SIGKILL);
    try {
        RestartSrv::logged_startup("vxdaemon", true, {root_.file("missing")});
        FAIL() << "exec failure raises";
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::ProcessFailed::Exec)) << e.to_string();
        EXPECT_EQ(e.get("error"), ENOENT);
    }
}

TEST_F(LoggedStartup, NoOutputSystemSplitsOneWordAndDiscardsTheOutput) {
    RestartSrv::nooutputsystem({"/bin/sh -c exit\\ 4", ""});
    EXPECT_NE(Vexlan::last_child_status(), 0);
    RestartSrv::nooutputsystem({"/bin/true"});
    EXPECT_EQ(Vexlan::last_child_status(), 0);
    RestartSrv::nooutputsystem({root_.file("missing")});
    EXPECT_EQ(Vexlan::last_child_status(), 1 << 8);
}
