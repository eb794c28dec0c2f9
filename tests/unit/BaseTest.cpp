#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "Output/Logger.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Hot.hpp"
#include "Util/Paths.hpp"
#include "support/TestSupport.hpp"

using Vexlan::ServiceManager::Base;
using Vexlan::ServiceManager::make_service;

namespace {
class BaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Vexlan::Paths::set_test_root(dir_.path());
        std::filesystem::create_directories(dir_.path() + "/usr/local/vexlan/logs");
        Vexlan::Logger::clear_singleton_stash();
    }
    void TearDown() override {
        Vexlan::Paths::set_test_root("");
        Vexlan::Logger::clear_singleton_stash();
    }
    testing_support::ScratchDir dir_;
};

class Exim : public Base {
  public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Exim"; }
};
}  // namespace

TEST_F(BaseTest, ServiceComesFromTheClassNameUnlessGiven) {
    EXPECT_EQ(make_service<Exim>(Vexlan::Options::object())->service(), "exim");
    EXPECT_EQ(make_service<Exim>({{"service", "mail"}})->service(), "mail");
    EXPECT_EQ(make_service<Base>({{"service", "x"}})->class_name(), "Vexlan::ServiceManager::Base");
}

TEST_F(BaseTest, ServiceOverrideRenamesTheServiceNameOnly) {
    auto srv = make_service<Exim>({{"service_override", "exim4"}});
    EXPECT_EQ(srv->service(), "exim");
    EXPECT_EQ(srv->service_name(), "exim4");
    EXPECT_EQ(srv->service_to_suspend(), "exim");
}

TEST_F(BaseTest, APresentOptionWinsFalseIncluded) {
    auto srv = make_service<Base>({{"service", "s"},
                                   {"has_single_pid", 0},
                                   {"can_check_service_status", 0},
                                   {"graceful_by_default", false}});
    EXPECT_EQ(srv->has_single_pid(), 0);
    EXPECT_EQ(srv->can_check_service_status(), 0);
    EXPECT_EQ(srv->graceful_by_default(), 0);
    auto defaults = make_service<Base>({{"service", "s2"}});
    EXPECT_EQ(defaults->has_single_pid(), 1);
    EXPECT_EQ(defaults->processowner(), "root");
    EXPECT_EQ(defaults->suspend_time(), 600);
    EXPECT_EQ(defaults->startup_timeout(), 10);
    EXPECT_EQ(defaults->_pid(), ::getpid());
    EXPECT_FALSE(defaults->current_restart_attempt());
    EXPECT_TRUE(defaults->ports().empty());
}

TEST_F(BaseTest, LazyBuildersRunOnceAndTheirResultIsKept) {
    struct Counting : Base {
        using Base::Base;
        int builds = 0;
        std::string _build_pidfile() override {
            ++builds;
            return "";
        }
    };
    auto srv = make_service<Counting>({{"service", "c"}});
    auto* c = static_cast<Counting*>(srv.get());
    EXPECT_EQ(c->pidfile(), "");
    EXPECT_EQ(c->pidfile(), "");
    EXPECT_EQ(c->builds, 1);
    EXPECT_TRUE(c->has("pidfile"));
}

TEST_F(BaseTest, UnknownOptionsAreIgnoredAndNonMapOptionsRefused) {
    EXPECT_NO_THROW(make_service<Base>({{"service", "s"}, {"no_such_attribute", 1}}));
    VX_EXPECT_THROW_KIND(Base(nlohmann::json::array({1, 2, 3})), ::Vexlan::Exception::Kinds::Generic);
}

TEST_F(BaseTest, DebugModeWritesTimeStampedLinesForInfoAndWarn) {
    auto srv = make_service<Base>({{"service", "dbg"}});
    srv->verbose(2);
    EXPECT_TRUE(srv->is_debug_enabled());
    srv->info("an info line");
    srv->warn("a warn line");
    std::string log = testing_support::read_file(Vexlan::Paths::get(Vexlan::Paths::Key::ErrorLog));
    EXPECT_NE(log.find("[+"), std::string::npos);
    EXPECT_NE(log.find("s] an info line"), std::string::npos) << log;
    EXPECT_NE(log.find("s] a warn line"), std::string::npos) << log;
    EXPECT_EQ(log.find("warn ["), std::string::npos) << "debug mode turns warnings into debug lines";
    srv->verbose(0);
    srv->debug("not written");
    EXPECT_EQ(
        testing_support::read_file(Vexlan::Paths::get(Vexlan::Paths::Key::ErrorLog)).find("not written"),
        std::string::npos);
}

TEST_F(BaseTest, HotIsGracefulByDefaultAndCanBeSwitchedOff) {
    auto hot = make_service<Vexlan::ServiceManager::Hot>({{"service", "h"}});
    EXPECT_EQ(static_cast<Vexlan::ServiceManager::Hot*>(hot.get())->is_graceful_restart_enabled(), 1);
    auto off =
        make_service<Vexlan::ServiceManager::Hot>({{"service", "h2"}, {"is_graceful_restart_enabled", 0}});
    hot.reset();
    EXPECT_EQ(static_cast<Vexlan::ServiceManager::Hot*>(off.get())->restart_gracefully(), 0);
}
