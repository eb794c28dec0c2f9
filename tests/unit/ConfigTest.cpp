// The main configuration and its JSON cache.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "Config/LoadConfig.hpp"
#include "Config/LoadVxConf.hpp"
#include "Config/VxConfGuard.hpp"
#include "support/ScratchRoot.hpp"
#include "Util/File.hpp"
#include "Util/Time.hpp"

using Vexlan::Config::VxConfGuard;
namespace LoadVxConf = Vexlan::Config::LoadVxConf;
using namespace testing_support;

namespace {
class Config : public ScratchRootTest {
protected:
    void SetUp() override {
        ScratchRootTest::SetUp();
        VxConfGuard::clearcache();
        std::filesystem::create_directories(root_.path() + "/var/vexlan");
    }
    void TearDown() override {
        VxConfGuard::clearcache();
        ScratchRootTest::TearDown();
    }
    std::string conf() { return Vexlan::Paths::get(Vexlan::Paths::Key::MainConfig); }
    std::string cache() { return Vexlan::Paths::get(Vexlan::Paths::Key::MainConfigCache); }
    void set_mtime(const std::string& path, time_t t) {
        struct timespec times[2] = {{t, 0}, {t, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
};
}  // namespace

TEST_F(Config, TheCacheIsValidExactlyOneSecondAfterTheConfiguration) {
    write_file(conf(), "maxmem=2048\n");
    const time_t t = 1700000000;
    set_mtime(conf(), t);
    for (const auto& [offset, valid] : std::vector<std::pair<int, bool>>{{0, false}, {2, false}, {-1, false}, {1, true}}) {
        write_file(cache(), R"({"maxmem":"4096"})");  // (reading the file as root rewrites it)
        set_mtime(cache(), t + offset);
        VxConfGuard::clearcache();
        EXPECT_EQ(VxConfGuard::_cache_is_valid(), valid) << offset;
        // A valid cache is the answer; otherwise the file is read.
        EXPECT_EQ(LoadVxConf::value("maxmem"), valid ? "4096" : "2048") << offset;
    }
    std::filesystem::remove(cache());
    EXPECT_FALSE(VxConfGuard::_cache_is_valid());
}

TEST_F(Config, AValidCacheIsRememberedAndUnreadableOnesAreNeverUsed) {
    write_file(conf(), "a=1\n");
    set_mtime(conf(), 1700000000);
    write_file(cache(), R"({"a":"cached"})");
    set_mtime(cache(), 1700000001);
    EXPECT_EQ(LoadVxConf::value("a"), "cached");
    std::filesystem::remove(cache());
    EXPECT_EQ(LoadVxConf::value("a"), "cached") << "the memory copy, while the configuration is unchanged";
    for (const std::string junk : {"", "{\"a\":", "not json", "[1,2]", R"({"a":{"nested":1}})"}) {
        VxConfGuard::clearcache();
        write_file(cache(), junk);
        set_mtime(cache(), 1700000001);
        EXPECT_EQ(LoadVxConf::value("a"), "1") << "cache [" << junk << "]";
    }
}

TEST_F(Config, ReadingRefreshesTheCacheAtomicallyWithTheConfigurationsMode) {
    VX_REQUIRE(::geteuid() == 0, "only root writes the cache");
    write_file(conf(), "# comment\nmaxmem = 8192\ncoredump=1\nbroken line\n", 0640);
    EXPECT_EQ(LoadVxConf::value("maxmem"), "8192");
    EXPECT_EQ(LoadVxConf::value("broken line"), std::nullopt);
    ASSERT_TRUE(std::filesystem::exists(cache()));
    EXPECT_TRUE(VxConfGuard::_cache_is_valid());
    struct stat st {};
    ::stat(cache().c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(read_file(cache()), R"({"coredump":"1","maxmem":"8192"})");
}

TEST_F(Config, ALineThatIsNotUtf8CostsOnlyThatLine) {
    VX_REQUIRE(::geteuid() == 0, "only root writes the cache");
    // Latin-1, a lone continuation byte, an overlong slash, a surrogate, a cut sequence.
    write_file(conf(), "a=1\nname=caf\xe9\nb=\x80\nc=\xc0\xaf\nd=\xed\xa0\x80\ne=\xe2\x82\nutf=caf\xc3\xa9\nz=2\n");
    EXPECT_EQ(LoadVxConf::value("a"), "1");
    EXPECT_EQ(LoadVxConf::value("z"), "2");
    EXPECT_EQ(LoadVxConf::value("utf"), "caf\xc3\xa9") << "well-formed UTF-8 stays";
    for (const char* bad : {"name", "b", "c", "d", "e"}) EXPECT_EQ(LoadVxConf::value(bad), std::nullopt) << bad;
    EXPECT_TRUE(VxConfGuard::_cache_is_valid()) << "the cache was written";
    EXPECT_NE(error_log().find("Line 2 of"), std::string::npos) << error_log();
}

TEST_F(Config, NoOtherUserCanHoldTheConfigurationsLock) {
    VX_REQUIRE(::geteuid() == 0, "needs root to act as another user");
    write_file(conf(), "maxmem=4096\n");
    // The configuration is everyone's to read; nobody holds its flock for as long as it likes.
    for (const std::string& d : {root_.path(), root_.path() + "/var", root_.path() + "/var/vexlan"}) ::chmod(d.c_str(), 0755);
    Child holder({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "flock", "-x", conf(), "sleep", "60"});
    bool held = false;
    for (int i = 0; i < 200 && !held; ++i) {
        held = run_command({"flock", "-n", conf(), "true"}).status != 0;
        if (!held) Vexlan::Time::sleep_for(0.02);
    }
    ASSERT_TRUE(held) << "the other user holds the configuration file's lock";
    const double start = Vexlan::Time::monotonic_seconds_f();
    EXPECT_EQ(LoadVxConf::value("maxmem"), "4096");
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 5.0) << "not held up by another user's lock";
    struct stat st {};
    ASSERT_EQ(::stat((conf() + ".lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the lock is a file only root may open";
    EXPECT_EQ(st.st_uid, 0u);
    // Root's own lock held elsewhere: a bounded wait, then the defaults and a log line.
    Vexlan::Config::LoadConfig::set_lock_wait_for_testing(0.3);
    Child root_holder({"flock", "-x", conf() + ".lock", "sleep", "60"});
    while (run_command({"flock", "-n", conf() + ".lock", "true"}).status == 0) Vexlan::Time::sleep_for(0.02);
    VxConfGuard::clearcache();
    std::filesystem::remove(cache());
    EXPECT_EQ(LoadVxConf::value("maxmem"), std::nullopt);
    EXPECT_NE(error_log().find("was not free within"), std::string::npos) << error_log();
    Vexlan::Config::LoadConfig::set_lock_wait_for_testing(0);
}

TEST_F(Config, MissingOrPlantedFilesGiveTheDefaultsAndALogLine) {
    EXPECT_TRUE(LoadVxConf::loadvxconf_not_copy().empty());
    write_file(root_.file("elsewhere"), "maxmem=1\n");
    std::filesystem::remove(conf());
    std::filesystem::create_symlink(root_.file("elsewhere"), conf());
    VxConfGuard::clearcache();
    EXPECT_TRUE(LoadVxConf::loadvxconf_not_copy().empty()) << "a symlink planted at the configuration is not followed";
    EXPECT_NE(error_log().find("cannot be read"), std::string::npos) << error_log();
}

TEST_F(Config, AnUnprivilegedReaderCreatesNothing) {
    VxConfGuard::Options o;
    o.use_lock = false;
    VxConfGuard guard(o);
    EXPECT_TRUE(guard.is_missing());
    EXPECT_TRUE(guard.config_copy().empty());
    EXPECT_FALSE(std::filesystem::exists(conf()));
}
