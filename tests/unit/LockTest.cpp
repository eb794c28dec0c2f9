#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Exception/Exception.hpp"
#include "Lock/Lock.hpp"
#include "ServiceManager/Base.hpp"
#include "Util/Paths.hpp"
#include "Util/Time.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"

namespace Kinds = Vexlan::Exception::Kinds;

using Vexlan::RestartSrv::Lock;

namespace {
class LockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        VX_REQUIRE(::geteuid() == 0, "the restart lock is taken by root only");
        Vexlan::Paths::set_test_root(dir_.path());
    }
    void TearDown() override {
        Vexlan::Paths::set_test_root("");
        Lock::set_timeout_for_testing(20);
    }
    std::string lock_path(const std::string& service) {
        return Vexlan::Paths::get(Vexlan::Paths::Key::LockBase) + "/" + service;
    }
    // Whether another process could take the lock right now.
    bool free_for_others(const std::string& service) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open(lock_path(service).c_str(), O_RDONLY | O_CLOEXEC);
            ::_exit(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WEXITSTATUS(status) == 0;
    }
    testing_support::ScratchDir dir_;
};
}  // namespace

TEST_F(LockTest, TwoHoldersSerialiseAndTheWaiterStartsWithinAQuarterSecondOfTheRelease) {
    testing_support::ScratchDir marks;
    pid_t holder = ::fork();
    if (holder == 0) {
        auto lock = Lock::create("svc");
        std::ofstream(marks.file("taken")) << "1";
        Vexlan::Time::sleep_for(1.0);
        std::ofstream(marks.file("released")) << std::fixed << Vexlan::Time::monotonic_seconds_f();
        lock->release();
        ::_exit(0);
    }
    while (!std::filesystem::exists(marks.file("taken"))) Vexlan::Time::sleep_for(0.01);
    EXPECT_FALSE(free_for_others("svc"));
    auto lock = Lock::create("svc");
    double got = Vexlan::Time::monotonic_seconds_f();
    double released = std::stod(testing_support::read_file(marks.file("released")));
    EXPECT_GE(got, released);
    EXPECT_LT(got - released, 0.35);
    ::waitpid(holder, nullptr, 0);
}

TEST_F(LockTest, AHolderPastTheTimeOutMakesTheWaiterFailWithTheLockError) {
    Lock::set_timeout_for_testing(2);
    std::filesystem::create_directories(Vexlan::Paths::get(Vexlan::Paths::Key::LockBase));
    testing_support::Child holder({"flock", "--exclusive", lock_path("slow"), "sleep", "30"});
    while (!std::filesystem::exists(lock_path("slow")) || free_for_others("slow"))
        Vexlan::Time::sleep_for(0.02);
    double start = Vexlan::Time::monotonic_seconds_f();
    try {
        Lock::create("slow");
        FAIL() << "the lock must not be obtained";
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::LockNotObtained)) << e.to_string();
    }
    double waited = Vexlan::Time::monotonic_seconds_f() - start;
    EXPECT_GE(waited, 1.0);
    EXPECT_LT(waited, 3.0);
}

TEST_F(LockTest, ADaemonStartedWhileTheLockIsHeldDoesNotKeepIt) {
    auto lock = Lock::create("daemonic");
    testing_support::Child daemon({"sleep", "30"});
    ASSERT_TRUE(daemon.alive());
    lock->release();
    EXPECT_TRUE(free_for_others("daemonic"));
}

TEST_F(LockTest, InvalidNamesNeverTouchTheLockDirectory) {
    for (const char* name : {"", "a/b", "..", "-x", "a b", "a..b", "a\\b", "a\\x2", "a\\x2g", "a\\y2d", "x\x1b[31m"}) {
        SCOPED_TRACE(name);
        VX_EXPECT_THROW_KIND(Lock::create(name), ::Vexlan::Exception::Kinds::InvalidParameter);
    }
    EXPECT_FALSE(std::filesystem::exists(Vexlan::Paths::get(Vexlan::Paths::Key::LockBase)));
    // systemd's escapes in instance names are names like any other.
    for (const char* name : {"tpl@a\\x2db", "tpl@a:b", "tpl@\\x2fsrv\\x2fwww"}) {
        SCOPED_TRACE(name);
        EXPECT_NO_THROW(Lock::create(name));
    }
}

TEST_F(LockTest, ReleaseThenDestructionUnlocksOnce) {
    auto lock = Lock::create("once");
    EXPECT_TRUE(lock->release());
    EXPECT_TRUE(free_for_others("once"));
    EXPECT_TRUE(lock->release());
    auto again = Lock::create("once");  // still free: the second release found no handle
    EXPECT_FALSE(free_for_others("once"));
}

TEST_F(LockTest, TheLockDescriptorIsCloseOnExec) {
    auto lock = Lock::create("cloexec");
    EXPECT_TRUE(::fcntl(lock->fd(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(LockTest, AServiceObjectReleasedInAForkedChildLeavesTheLockHeld) {
    auto srv = Vexlan::ServiceManager::make_service<Vexlan::ServiceManager::Base>({{"service", "forky"}});
    ASSERT_NE(srv->lock(), nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        srv->release();
        srv.reset();
        ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(free_for_others("forky"));
    srv.reset();
    EXPECT_TRUE(free_for_others("forky"));
}

TEST_F(LockTest, AnObjectWithoutAServiceUsesTheFallbackLockName) {
    auto srv = Vexlan::ServiceManager::make_service<Vexlan::ServiceManager::Base>(Vexlan::Options::object());
    EXPECT_EQ(srv->service(), "");
    ASSERT_NE(srv->lock(), nullptr);
    EXPECT_EQ(srv->lock()->path(), lock_path("base"));
}

TEST_F(LockTest, NoLockUnderPid1) {
    testing_support::ScratchDir out;
    pid_t middle = ::fork();
    if (middle == 0) {
        if (::fork() == 0) {
            for (int i = 0; i < 200 && ::getppid() != 1; ++i) Vexlan::Time::sleep_for(0.01);
            std::string answer = "skip";
            if (::getppid() == 1) {
                auto srv = Vexlan::ServiceManager::make_service<Vexlan::ServiceManager::Base>(
                    {{"service", "orphan"}});
                answer = srv->lock() ? "locked" : "unlocked";
                srv.reset();
            }
            std::ofstream(out.file("answer")) << answer;
            ::_exit(0);
        }
        ::_exit(0);
    }
    ::waitpid(middle, nullptr, 0);
    // The file exists before its word is in it: wait for the word.
    std::string answer;
    testing_support::wait_until([&] { return !(answer = testing_support::read_file(out.file("answer"))).empty(); });
    if (answer == "skip") GTEST_SKIP() << "orphans are adopted by a subreaper here, not by PID 1";
    EXPECT_EQ(answer, "unlocked");
    EXPECT_FALSE(std::filesystem::exists(lock_path("orphan")));
}
