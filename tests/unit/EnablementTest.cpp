// Whether the administrator wants a service: disable files, the configuration key, the
// mail protocols and the installed test.
#include <gtest/gtest.h>

#include <filesystem>

#include "Config/VxConfGuard.hpp"
#include "Services/Enabled.hpp"
#include "Services/Installed.hpp"
#include "support/ScratchRoot.hpp"
#include "Util/Paths.hpp"

namespace Enabled = Vexlan::Services::Enabled;
using Vexlan::Paths::Key;
using namespace testing_support;

namespace {
class Enablement : public ScratchRootTest {
protected:
    void SetUp() override {
        ScratchRootTest::SetUp();
        Vexlan::Config::VxConfGuard::clearcache();
        std::filesystem::create_directories(Vexlan::Paths::get(Key::SvcmondConfigDir));
        std::filesystem::create_directories(Vexlan::Paths::get(Key::DisableDir));
    }
    void TearDown() override {
        Vexlan::Config::VxConfGuard::clearcache();
        ScratchRootTest::TearDown();
    }
    void installed(const std::string& service) { write_file(Vexlan::Services::Installed::monitor_file(service), ""); }
    std::string disable_file(const std::string& name) { return Vexlan::Paths::get(Key::DisableDir) + "/" + name; }
};
}  // namespace

TEST_F(Enablement, DisableFilesRoundTrip) {
    installed("vxsvc");
    EXPECT_EQ(Enabled::is_enabled(std::string("vxsvc")), 1);
    for (const std::string file : {"vxsvc", "vxsvc.disable"}) {
        write_file(disable_file(file), "");
        EXPECT_EQ(Enabled::is_enabled(std::string("vxsvc")), 0) << file;
        EXPECT_EQ(Enabled::remove_disable_files(std::string("vxsvc")), 1);
        EXPECT_EQ(Enabled::is_enabled(std::string("vxsvc")), 1) << file;
    }
    EXPECT_EQ(Enabled::touch_disable_file(std::string("vxsvc")), true);
    EXPECT_EQ(Enabled::is_enabled(std::string("vxsvc")), 0);
    EXPECT_EQ(Enabled::touch_disable_file(std::string("vxsvc")), true) << "already disabled: nothing to do";
    // A disable path that is a symlink disables too, but is never removed.
    Enabled::remove_disable_files(std::string("vxsvc"));
    std::filesystem::create_symlink(root_.file("elsewhere"), disable_file("vxsvc.disable"));
    EXPECT_EQ(Enabled::is_enabled(std::string("vxsvc")), 0);
    Enabled::remove_disable_files(std::string("vxsvc"));
    EXPECT_TRUE(std::filesystem::is_symlink(disable_file("vxsvc.disable")));
    EXPECT_EQ(Enabled::is_enabled(std::nullopt), -1);
}

TEST_F(Enablement, ServicesNotInstalledAreDisabled) {
    EXPECT_EQ(Enabled::is_enabled(std::string("vxnotthere")), 0) << "no test, no monitor file";
    installed("vxnotthere");
    EXPECT_EQ(Enabled::is_enabled(std::string("vxnotthere")), 1);
    EXPECT_EQ(Vexlan::Services::Installed::service_is_installed("vexlanlogd"), 1) << "the panel's own daemons";
    EXPECT_FALSE(Vexlan::Services::Installed::service_is_installed("bad/name"));
    EXPECT_EQ(Vexlan::Services::Installed::code_name("exim-altport"), "exim_altport");
}

TEST_F(Enablement, TheConfigurationKeyDecidesItsService) {
    write_file(Vexlan::Paths::get(Key::MainConfig), std::string(Enabled::CONFIG_CONTROLLED_KEY) + "=1\n");
    EXPECT_EQ(Enabled::is_enabled(std::string(Enabled::CONFIG_CONTROLLED_SERVICE)), 0);
    EXPECT_FALSE(Enabled::service_has_files(Enabled::CONFIG_CONTROLLED_SERVICE));
    Vexlan::Config::VxConfGuard::clearcache();
    write_file(Vexlan::Paths::get(Key::MainConfig), std::string(Enabled::CONFIG_CONTROLLED_KEY) + "=0\n");
    std::filesystem::remove(Vexlan::Paths::get(Key::MainConfigCache));
    EXPECT_EQ(Enabled::is_enabled(std::string(Enabled::CONFIG_CONTROLLED_SERVICE)), 1);
}

TEST_F(Enablement, TheMailProtocolsDecideImapAndPop) {
    std::filesystem::create_directories(Vexlan::Paths::get(Key::MailConfig).substr(0, Vexlan::Paths::get(Key::MailConfig).rfind('/')));
    write_file(Vexlan::Paths::get(Key::MailConfig), "ssl: yes\nprotocols: imap lmtp   \n");
    EXPECT_EQ(Enabled::is_enabled(std::string("imap")), 1);
    EXPECT_EQ(Enabled::is_enabled(std::string("pop")), 0);
    write_file(Vexlan::Paths::get(Key::MailProtocols), "pop3");
    EXPECT_EQ(Enabled::is_enabled(std::string("imap")), 0) << "the protocols file wins";
    EXPECT_EQ(Enabled::is_enabled(std::string("pop")), 1);
    write_file(Vexlan::Paths::get(Key::MailProtocols), " \t");
    EXPECT_EQ(Enabled::get_dovecot_enabled_protocols(), (std::set<std::string>{"imap", "pop3"})) << "the default list";
}
