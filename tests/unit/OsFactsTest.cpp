// The distribution, identified from its release description and cached.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Binaries/Binaries.hpp"
#include "Exception/Exception.hpp"
#include "OS/OS.hpp"
#include "support/ScratchRoot.hpp"
#include "Util/Paths.hpp"

namespace OS = Vexlan::OS;
namespace Kinds = Vexlan::Exception::Kinds;
using Vexlan::Paths::Key;
using namespace testing_support;

namespace {
class OsFacts : public ScratchRootTest {
protected:
    void SetUp() override {
        ScratchRootTest::SetUp();
        OS::clear_cache_after_cloudlinux_update();
        std::filesystem::create_directories(root_.path() + "/etc");
    }
    void TearDown() override {
        OS::clear_cache_after_cloudlinux_update();
        ScratchRootTest::TearDown();
    }
    void release(const std::string& text) { write_file(Vexlan::Paths::get(Key::OsRelease), text); }
    std::string cache_target() {
        std::error_code ec;
        return std::filesystem::read_symlink(Vexlan::Paths::get(Key::OsCacheDir) + "/os_info", ec).string();
    }
    void age(const std::string& path, time_t t, bool link) {
        struct timespec times[2] = {{t, 0}, {t, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, link ? AT_SYMLINK_NOFOLLOW : 0);
    }
};
}  // namespace

TEST_F(OsFacts, ThisMachinesReleaseDescription) {
    auto id = OS::parse_os_release(read_file("/etc/os-release"), false);
    EXPECT_EQ(id.distro, "debian");
    EXPECT_EQ(id.major, "12");
    EXPECT_EQ(id.minor, "0");
    EXPECT_EQ(id.build, "0");
    release(read_file("/etc/os-release"));
    EXPECT_EQ(OS::systemd_service_name_map()["exim"], "exim4");
    EXPECT_EQ(OS::cron_bin_path(), "/usr/sbin/cron");
    EXPECT_EQ(OS::maillog_path(), "/var/log/mail.log");
    EXPECT_EQ(OS::package_manager_module(), "Apt");
    EXPECT_EQ(Vexlan::Binaries::path("exim4"), "/usr/sbin/exim4");
    EXPECT_EQ(Vexlan::Binaries::find("no-such-daemon"), std::nullopt);
    VX_EXPECT_THROW_KIND(Vexlan::Binaries::path("no-such-daemon"), Kinds::Generic);
    for (const auto& name : OS::supported_methods()) EXPECT_NO_THROW(OS::fact(name)) << "Debian answers every fact: " << name;
    EXPECT_EQ(OS::fact("pretty_distro"), "Debian");
    EXPECT_EQ(OS::fact("retry_rpm_cmd_no_tty_hack"), false);
}

TEST_F(OsFacts, VersionPartsQuotesAndComments) {
    auto rhel = OS::parse_os_release("ID=\"almalinux\" # the distribution\nVERSION_ID=\"9.4\"\nVERSION=\"9.4.7 (Seafoam)\"\n", false);
    EXPECT_EQ(rhel.distro, "almalinux");
    EXPECT_EQ(rhel.major, "9");
    EXPECT_EQ(rhel.minor, "4");
    EXPECT_EQ(rhel.build, "7") << "from the version text";
    auto short_text = OS::parse_os_release("ID=rocky\nVERSION_ID=9.4\nVERSION=\"9.4\"\n", false);
    EXPECT_EQ(short_text.build, "0");
    EXPECT_EQ(OS::parse_os_release("ID=almalinux\nVERSION_ID=8.9\n", true).distro, "cloudlinux") << "the marker file";
    EXPECT_TRUE(OS::parse_os_release("VERSION_ID=1\n", false).distro.empty());
    release("NAME=nothing\n");
    try {
        OS::cron_bin_path();
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::OSUnknown)) << e.to_string();
    }
}

TEST_F(OsFacts, TheCacheIsUsedUntilTheReleaseDescriptionChanges) {
    VX_REQUIRE(::geteuid() == 0, "only root writes the cache");
    release("ID=debian\nVERSION_ID=12\n");
    EXPECT_EQ(OS::distro(), "debian");
    EXPECT_EQ(cache_target(), "linux|debian|12|0|0");
    const std::string link = Vexlan::Paths::get(Key::OsCacheDir) + "/os_info";
    age(Vexlan::Paths::get(Key::OsRelease), 2000000000, false);
    age(link, 1900000000, true);
    release("ID=rocky\nVERSION_ID=9.4\n");
    age(Vexlan::Paths::get(Key::OsRelease), 2000000000, false);
    OS::clear_cache_after_cloudlinux_update();
    EXPECT_EQ(OS::distro(), "rocky") << "a cache older than the release description is read again";
    EXPECT_EQ(cache_target(), "linux|rocky|9|4|0");
    EXPECT_EQ(OS::package_manager_module(), "Yum");
    EXPECT_EQ(OS::fact("pretty_distro"), "Rocky9") << "the family's releases are named after their class";
    EXPECT_EQ(OS::binary_locations()["mariadbd"], "/usr/libexec");
    // With a custom distribution named, an old cache still stands.
    age(link, 1900000000, true);
    std::filesystem::create_symlink("custom", Vexlan::Paths::get(Key::OsCustomDistroLink));
    release("ID=debian\nVERSION_ID=12\n");
    age(Vexlan::Paths::get(Key::OsRelease), 2000000000, false);
    OS::clear_cache_after_cloudlinux_update();
    EXPECT_EQ(OS::distro(), "rocky");
    EXPECT_EQ(OS::flush_disk_caches(), 0);
}

TEST_F(OsFacts, AFactOutsideTheListIsRefusedBeforeIdentifying) {
    try {
        OS::fact("favourite_colour");
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::InvalidParameter));
    }
    EXPECT_FALSE(std::filesystem::exists(Vexlan::Paths::get(Key::OsCacheDir))) << "nothing was identified";
    EXPECT_TRUE(std::is_sorted(OS::supported_methods().begin(), OS::supported_methods().end()));
    release("ID=slackware\nVERSION_ID=15.0\n");
    EXPECT_EQ(OS::cron_bin_path(), "/usr/sbin/cron") << "the generic Linux class";
    try {
        OS::package_manager_module();
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::OSUnsupportedFact)) << e.to_string();
    }
}
