// Resource limits, scheduling and I/O priority, as the daemons started afterwards see them.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/TestSupport.hpp"

#include <filesystem>

#include "Process/IONice/IONice.hpp"
#include "Process/Rlimit/Rlimit.hpp"
#include "Process/Rlimit/Unset.hpp"
#include "Process/Syscall/Syscall.hpp"
#include "SafeRun/Simple.hpp"
#include "Util/Paths.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/ScratchRoot.hpp"

using namespace testing_support;

namespace {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
class Limits : public ScratchRootTest {
  protected:
    // Runs `prepare` in a child that then becomes `sleep`, as a daemon started after it would.
    pid_t child_after(const std::function<void()>& prepare) {
        pid_t pid = ::fork();
        if (pid == 0) {
            prepare();
            ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        children_.push_back(pid);
        // Asleep in the program it executed, not in a pause of its own before the exec.
        const std::string proc = "/proc/" + std::to_string(pid);
        wait_until(
            [&] {
                return read_file(proc + "/comm") == "sleep\n" &&
                       read_file(proc + "/syscall").starts_with("230 ");
            },
            3);
        return pid;
    }
    std::string limit_line(pid_t pid, const std::string& name) {
        std::string limits = read_file("/proc/" + std::to_string(pid) + "/limits");
        auto at = limits.find(name);
        return at == std::string::npos ? "" : limits.substr(at, limits.find('\n', at) - at);
    }
    void TearDown() override {
        for (pid_t pid : children_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ScratchRootTest::TearDown();
    }
    std::vector<pid_t> children_;
};
}  // namespace

TEST_F(Limits, InheritedLimitsAreLiftedForTheDaemon) {
    // Soft limits below their hard ones, as a cron job or a monitor may leave them. (File
    // size, not address space: a sanitizer build cannot live under an address-space limit.)
    pid_t pid = child_after([] {
        struct rlimit tight {
            1UL << 30, RLIM_INFINITY
        };
        ::setrlimit(RLIMIT_FSIZE, &tight);
        struct rlimit cpu {
            10, RLIM_INFINITY
        };
        ::setrlimit(RLIMIT_CPU, &cpu);
        Vexlan::Rlimit::Unset::unset_rlimits();
    });
    EXPECT_NE(limit_line(pid, "Max file size").find("unlimited            unlimited"), std::string::npos)
        << limit_line(pid, "Max file size");
    EXPECT_NE(limit_line(pid, "Max cpu time").find("unlimited            unlimited"), std::string::npos);
    EXPECT_EQ(error_log(), "") << "nothing failed";
}

TEST_F(Limits, TheServerMemoryLimitAndItsDefaultFloor) {
    VX_REQUIRE(::geteuid() == 0, "only root raises hard limits");
    write_file(Vexlan::Paths::get(Vexlan::Paths::Key::MainConfig), "maxmem=2048\ncoredump=0\n");
    EXPECT_EQ(Vexlan::Maxmem::minimum(), 4096u);
    EXPECT_EQ(Vexlan::Rlimit::_get_server_setting_or_default(), std::make_pair(uint64_t(4096) << 20, false))
        << "the default is a floor";
    std::string domains;
    for (int i = 0; i < 25000; ++i) domains += "d" + std::to_string(i) + ".example: user\n";
    write_file(Vexlan::Paths::get(Vexlan::Paths::Key::UserDomains), domains);
    EXPECT_EQ(Vexlan::Maxmem::minimum(), 12288u);
    if (!kSanitized) {
        // An address-space limit kills a sanitizer build's child before it can exec.
        pid_t pid = child_after([] { Vexlan::Rlimit::set_rlimit(); });
        EXPECT_NE(limit_line(pid, "Max address space").find(std::to_string(uint64_t(12288) << 20)),
                  std::string::npos)
            << limit_line(pid, "Max address space");
        EXPECT_NE(limit_line(pid, "Max core file size").find("0                    0"), std::string::npos)
            << "no core files";
    }
    pid_t huge = child_after(
        [] { Vexlan::Rlimit::set_rlimit("99999999999999999999999", std::vector<std::string>{"FSIZE"}); });
    EXPECT_NE(limit_line(huge, "Max file size").find("unlimited"), std::string::npos) << "clamped";
    EXPECT_NE(error_log().find("exceeds the largest possible one"), std::string::npos) << error_log();
    VX_EXPECT_THROW_KIND(Vexlan::Sys::Rlimit::getrlimit("BOGUS"),
                         ::Vexlan::Exception::Kinds::InvalidParameter);
    VX_EXPECT_THROW_KIND(Vexlan::Syscall::name_to_number("reboot"),
                         ::Vexlan::Exception::Kinds::InvalidParameter);
}

TEST_F(Limits, PriorityAndIoClassAreResetForTheDaemon) {
    VX_REQUIRE(::geteuid() == 0, "only root sets an I/O class");
    pid_t idle = child_after([] { Vexlan::IONice::ionice("idle", "7"); });
    EXPECT_NE(
        Vexlan::SafeRun::Simple::saferun({"ionice", "-p", std::to_string(idle)}).value_or("").find("idle"),
        std::string::npos);
    pid_t reset = child_after([] {
        ::setpriority(PRIO_PROCESS, 0, 10);
        Vexlan::IONice::ionice("idle", "7");
        ::setpriority(PRIO_PROCESS, 0, 0);
        Vexlan::IONice::reset();
    });
    EXPECT_NE(
        Vexlan::SafeRun::Simple::saferun({"ionice", "-p", std::to_string(reset)}).value_or("").find("none"),
        std::string::npos);
    EXPECT_EQ(::getpriority(PRIO_PROCESS, reset), 0);
    EXPECT_EQ(Vexlan::IONice::ionice("idle", "8"), std::nullopt) << "level 8 is refused";
    EXPECT_EQ(Vexlan::IONice::ionice("fast", "1"), std::nullopt);
}
