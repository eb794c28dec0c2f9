// The service monitor's suspension files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/TestSupport.hpp"

#include <filesystem>

#include "Svcmond/Tiny.hpp"
#include "Util/Number.hpp"
#include "Util/Paths.hpp"
#include "support/ScratchRoot.hpp"

namespace Tiny = Vexlan::Svcmond::Tiny;
using namespace testing_support;

namespace {
class Suspension : public ScratchRootTest {
  protected:
    time_t expiry_of(const std::string& service) {
        return Vexlan::Number::parse<time_t>(read_file(Tiny::suspension_file(service))).value_or(-1);
    }
};
}  // namespace

TEST_F(Suspension, TheDelayDefaultsTo70AndIsCappedAt3600) {
    const time_t now = 1700000000;
    Tiny::suspend_service("a", 10000, now);
    EXPECT_EQ(expiry_of("a"), now + 3600);
    Tiny::suspend_service("a", 0, now);
    EXPECT_EQ(expiry_of("a"), now + 70);
    Tiny::suspend_service("a", 300, now);
    EXPECT_EQ(expiry_of("a"), now + 300);
    struct stat st {};
    ::stat(Tiny::suspension_file("a").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::stat(Vexlan::Paths::get(Vexlan::Paths::Key::SuspendDir).c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    VX_EXPECT_THROW_KIND(Tiny::suspend_service("a/b"), ::Vexlan::Exception::Kinds::InvalidParameter);
}

TEST_F(Suspension, ASuspensionHoldsUntilItsExpiry) {
    const time_t now = ::time(nullptr);
    Tiny::suspend_service("soon", 1, now);  // one second left
    EXPECT_EQ(Tiny::is_service_suspended(std::nullopt, "soon"), 1);
    EXPECT_EQ(Tiny::is_service_suspended(std::map<std::string, time_t>{{"soon", now}}, "soon"), 0)
        << "at the expiry";
    EXPECT_EQ(Tiny::is_service_suspended(std::nullopt, "never"), std::nullopt);
    write_file(Vexlan::Paths::get(Vexlan::Paths::Key::SuspendDir) + "/.half.suspended", "123");
    auto all = Tiny::load_service_suspensions();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 1u) << "entries starting with a dot are not suspensions";
    EXPECT_TRUE(Tiny::resume_service("soon"));
    EXPECT_FALSE(Tiny::load_service_suspensions());
}

TEST_F(Suspension, ReadersNeverSeeHalfAFileAndSymlinksAreNeverFollowed) {
    Tiny::suspend_service("busy", 100, 1000000000);
    std::vector<pid_t> writers;
    for (int w = 0; w < 2; ++w) {
        pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < 300; ++i) Tiny::suspend_service("busy", 100 + w, 1000000000 + i);
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    int partial = 0;
    for (int i = 0; i < 600; ++i) {
        auto v = Vexlan::Number::parse<time_t>(read_file(Tiny::suspension_file("busy")));
        if (!v || *v < 1000000000) ++partial;
    }
    for (pid_t pid : writers) ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(partial, 0);

    write_file(root_.file("target"), "keep");
    std::filesystem::remove(Tiny::suspension_file("linked"));
    std::filesystem::create_symlink(root_.file("target"), Tiny::suspension_file("linked"));
    Tiny::suspend_service("linked");
    EXPECT_EQ(read_file(root_.file("target")), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(Tiny::suspension_file("linked")));
    // A directory planted as a symlink is refused.
    const std::string dir = Vexlan::Paths::get(Vexlan::Paths::Key::SuspendDir);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(root_.file("elsewhere"));
    std::filesystem::create_symlink(root_.file("elsewhere"), dir);
    EXPECT_EQ(Tiny::suspend_service("x"), std::nullopt);
    EXPECT_TRUE(std::filesystem::is_empty(root_.file("elsewhere")));
}
