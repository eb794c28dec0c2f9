// The action flows against a backend that records what it is asked to do.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include "support/TestSupport.hpp"

#include "Exception/Exception.hpp"
#include "Output/Formatted.hpp"
#include "ServiceManager/Base.hpp"
#include "Util/ExitRequest.hpp"
#include "support/ScratchRoot.hpp"

using Vexlan::ServiceManager::Base;

namespace {
struct Recording : Vexlan::ServiceManager::Manager::Backend {
    int starts = 0, stops = 0, reloads = 0;
    std::vector<int> attempts;
    int succeed_on_start = 0;  // 0: never
    bool running = false;
    bool start(Base&) override {
        ++starts;
        if (succeed_on_start && starts >= succeed_on_start) running = true;
        return running;
    }
    bool stop(Base&) override {
        ++stops;
        running = false;
        return true;
    }
    std::optional<bool> restart_attempt(Base&, int n) override {
        attempts.push_back(n);
        return true;
    }
    std::optional<std::string> status_helper(Base&) override { return running ? "rec is up" : ""; }
    bool this_process_was_executed_by_systemd() const override { return false; }
    std::string service() const override { return "rec"; }
};

// A service whose liveness is the recording backend's state.
struct Recorded : Base {
    using Base::Base;
    Recording* backend = nullptr;
    std::vector<int> object_attempts;
    std::unique_ptr<Vexlan::ServiceManager::Manager::Backend> _build_service_manager() override {
        auto b = std::make_unique<Recording>();
        backend = b.get();
        return b;
    }
    std::optional<bool> restart_attempt(int n) override {
        object_attempts.push_back(n);
        return true;
    }
};

class Flows : public testing_support::ScratchRootTest {
  protected:
    std::unique_ptr<Recorded> make(Vexlan::Options o) {
        set_main_config("restartsrv_start_confirm_ms=0\n");  // the window is not what these tests are about
        o["service"] = "rec";
        if (!o.contains("is_enabled")) o["is_enabled"] = 1;  // enablement is not what these tests are about
        o["service_binary"] = "";
        auto srv = std::make_unique<Recorded>(o);
        srv->BUILD();
        srv->service_manager();
        srv->verbose(2);
        return srv;
    }
    std::string log() { return testing_support::read_file(Vexlan::Paths::get(Vexlan::Paths::Key::ErrorLog)); }
};
}  // namespace

TEST_F(Flows, AnAttemptNumberGivesExactlyOneAttemptWithTheRetryHooksButNoPortKilling) {
    auto srv = make({{"ports", {18766}}});
    srv->current_restart_attempt(2);
    VX_EXPECT_THROW_KIND(srv->start(), ::Vexlan::Exception::Kinds::Services::StartFailed);
    EXPECT_EQ(srv->backend->starts, 1);
    EXPECT_EQ(srv->backend->attempts, std::vector<int>{2});
    EXPECT_EQ(srv->object_attempts, std::vector<int>{2});
    EXPECT_EQ(log().find("Terminating the programs that hold the ports"), std::string::npos);
}

TEST_F(Flows, AServiceWithPortsGetsASecondAttemptAfterThePortsAreFreed) {
    auto srv = make({{"ports", {18766, 18767}}, {"restart_attempts", 1}});
    srv->backend->succeed_on_start = 2;
    EXPECT_TRUE(srv->start());
    EXPECT_EQ(srv->backend->starts, 2);
    EXPECT_EQ(srv->backend->attempts, std::vector<int>{1});
    EXPECT_NE(log().find("Terminating the programs that hold the ports 18766, 18767"), std::string::npos)
        << log();
}

TEST_F(Flows, ThreeAttemptsWithoutPortsNeverKillAnything) {
    auto srv = make({{"restart_attempts", 3}});
    VX_EXPECT_THROW_KIND(srv->start(), ::Vexlan::Exception::Kinds::Services::StartFailed);
    EXPECT_EQ(srv->backend->starts, 3);
    EXPECT_EQ(srv->backend->attempts, (std::vector<int>{1, 2}));
    EXPECT_EQ(log().find("Terminating the programs"), std::string::npos);
}

TEST_F(Flows, RestartOfAStoppedServiceBecomesAStartAndRestartOfARunningOneStopsFirst) {
    auto srv = make(Vexlan::Options::object());
    srv->backend->succeed_on_start = 1;
    srv->service_argv_action("RESTART");
    EXPECT_TRUE(srv->restart());
    EXPECT_EQ(srv->service_status(), "rec is up");
    EXPECT_EQ(srv->service_argv_action(), "START");
    EXPECT_EQ(srv->backend->stops, 0);
    srv->service_argv_action("RESTART");
    EXPECT_TRUE(srv->restart(0));
    EXPECT_EQ(srv->service_status(), "rec is up");
    EXPECT_EQ(srv->service_argv_action(), "RESTART");
    EXPECT_EQ(srv->backend->stops, 1);
    EXPECT_EQ(srv->backend->starts, 2);
}

TEST_F(Flows, AStopInsideARestartIsQuietUnlessItPretendsOtherwise) {
    auto srv = make(Vexlan::Options::object());
    srv->verbose(1);
    testing_support::ScratchDir dir;
    int fd = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    srv->set_output_obj(
        std::make_unique<Vexlan::Output::Formatted::Plain>(Vexlan::OutputOptions{fd, nullptr}));
    srv->backend->running = true;
    srv->backend->succeed_on_start = 1;
    EXPECT_TRUE(srv->restart());
    std::string out = testing_support::read_file(dir.file("out"));
    EXPECT_EQ(out.find("Stopping"), std::string::npos) << out;
    EXPECT_NE(out.find("Restarting “rec” …"), std::string::npos) << out;
    srv->_pretend_not_called_from_restart(1);
    EXPECT_FALSE(srv->_called_from_restart());
    EXPECT_FALSE(srv->_called_from_restart()) << "outside a restart it stays false";
    ::close(fd);
}

TEST_F(Flows, ReloadOfADownServiceFailsAndWithoutABackendReloadSucceedsWithoutAction) {
    auto srv = make({{"support_reload", 1}});
    EXPECT_FALSE(srv->reload()) << "down: nothing was reloaded";
    EXPECT_NE(srv->backend->last_error().find("is not running; there is nothing to reload"), std::string::npos);
    srv->backend->running = true;
    EXPECT_TRUE(srv->reload());  // up, but the backend cannot reload
    srv->is_enabled(0);
    VX_EXPECT_THROW_KIND(srv->reload(), ::Vexlan::Exception::Kinds::Services::Disabled);
}

TEST_F(Flows, TheFreshInstallGuardEndsTheProcessUnlessForced) {
    env_.set("VEXLAN_BASE_INSTALL", "1");
    auto srv = make({{"block_fresh_install", 1}});
    EXPECT_THROW(srv->start(), Vexlan::ExitRequest);
    srv->call_with_force(1);
    srv->backend->succeed_on_start = 1;
    EXPECT_TRUE(srv->start());
}
