// Status, check and liveness of the service object.
#include <gtest/gtest.h>

#include <unistd.h>
#include "support/TestSupport.hpp"

#include <filesystem>

#include "Exception/Exception.hpp"
#include "Output/Logger.hpp"
#include "RestartSrv/CheckService.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Manager/Initd.hpp"
#include "ServiceManager/Manager/Systemd.hpp"
#include "Services/Installed.hpp"
#include "Util/Guards.hpp"
#include "Util/Paths.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/ScratchRoot.hpp"

namespace Kinds = Vexlan::Exception::Kinds;

using namespace testing_support;
using Vexlan::RestartSrv::check_service;
using Vexlan::RestartSrv::CheckServiceArgs;
using Vexlan::ServiceManager::Base;
using Vexlan::ServiceManager::make_service;

namespace {
class Status : public ScratchRootTest {
  protected:
    void SetUp() override {
        ScratchRootTest::SetUp();
        env_.set("VEXLAN_BASE_INSTALL", "1");  // no warning about a missing unit
    }
    std::unique_ptr<Base> service(Vexlan::Options options, std::vector<std::string> argv = {"--initd"}) {
        // The test's services are installed as far as the enablement rules are concerned.
        std::filesystem::create_directories(Vexlan::Paths::get(Vexlan::Paths::Key::SvcmondConfigDir));
        write_file(Vexlan::Services::Installed::monitor_file(options["service"].get<std::string>()), "");
        auto srv = make_service<Base>(options);
        srv->set_argv(std::move(argv));
        return srv;
    }
    std::string log() { return read_file(Vexlan::Paths::get(Vexlan::Paths::Key::ErrorLog)); }
};
}  // namespace

TEST_F(Status, AServiceWithoutAStatusCheckIsAlwaysUp) {
    auto srv = service({{"service", "blind"}, {"can_check_service_status", 0}});
    EXPECT_EQ(srv->status(), "The status of “blind” cannot be checked; it is assumed to be up.");
    EXPECT_EQ(srv->wait_for_service_status(0), "1");
}

TEST_F(Status, APidfileCountsOnlyWhenItNamesTheServicesOwnProcess) {
    ScratchDir dir;
    const std::string program = unique_copy(dir, "/bin/sleep", "vxpidsvc");
    Child daemon({program, "60"});
    Child stranger({"sleep", "61"});
    wait_for_exec(daemon.pid(), "vxpidsvc");
    wait_for_exec(stranger.pid(), "sleep");
    const std::string pid = std::to_string(daemon.pid());
    CheckServiceArgs args;
    args.service = program.substr(program.rfind('/') + 1);
    args.user = std::to_string(::geteuid());
    args.pidfile = root_.file("t.pid");
    args.ignore_systemd = true;
    write_file(args.pidfile, "  " + pid + " \r\n");
    std::string text = check_service(args);
    EXPECT_NE(text.find("with PID " + pid), std::string::npos) << text;
    EXPECT_NE(text.find("(pidfile+process check method)"), std::string::npos) << text;
    // A stale pidfile whose pid now belongs to another program does not make the service up.
    write_file(args.pidfile, std::to_string(stranger.pid()) + "\n");
    EXPECT_EQ(check_service(args).find("with PID " + std::to_string(stranger.pid())), std::string::npos);
    write_file(args.pidfile, pid + "\n");
    // Junk, numbers that wrap around to other pids, PID 1 and symlinks name nothing: the
    // daemon is found only by the later checks.
    for (const std::string& junk : std::vector<std::string>{pid + "garbage", "4294967295", "4294967297", "-1",
                                                            "1", "0x10", "", "99999999999"}) {
        write_file(args.pidfile, junk + "\n");
        EXPECT_EQ(check_service(args).find("pidfile"), std::string::npos) << "[" << junk << "]";
    }
    write_file(root_.file("real.pid"), pid + "\n");
    std::filesystem::remove(args.pidfile);
    std::filesystem::create_symlink(root_.file("real.pid"), args.pidfile);
    EXPECT_EQ(check_service(args).find("pidfile"), std::string::npos)
        << "a pidfile is never read through a symlink";
}

TEST_F(Status, APidfileHoldingZeroGoesStraightToTheFallback) {
    write_file(root_.file("z.pid"), "0\n");
    CheckServiceArgs args;
    args.service = "vx-no-such-daemon";
    args.pidfile = root_.file("z.pid");
    args.ignore_systemd = true;
    EXPECT_EQ(check_service(args), "");
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/bin/sleep", "vxfallbacksvc");
    Child c({prog, "60"});
    wait_for_exec(c.pid(), "vxfallbacksvc");
    args.service = prog.substr(prog.rfind('/') + 1);
    EXPECT_NE(check_service(args).find("(process table check method)"), std::string::npos);
}

TEST_F(Status, AnIgnoredCommandLineFallsThroughToTheOtherChecks) {
    Child c({"bash", "-c", "exec -a vxrestartsrv_helper sleep 60"});
    wait_for_argv0(c.pid(), "vxrestartsrv_helper");
    CheckServiceArgs args;
    args.service = "vxrestartsrv_helper";
    args.user = "root";
    args.pid = std::to_string(c.pid());
    args.ignore_systemd = true;
    std::string text = check_service(args);
    EXPECT_EQ(text.find("(/proc check method)"), std::string::npos) << text;
    EXPECT_EQ(text.find("(process check method)"), std::string::npos) << text;
}

TEST_F(Status, WaitingReturnsAtTheFirstSuccessfulProbe) {
    struct UpAfterThree : Base {
        using Base::Base;
        int probes = 0;
        std::string status() override {
            if (++probes < 3) return "";
            return "up now";
        }
    };
    auto srv = make_service<UpAfterThree>({{"service", "waiter"}});
    set_main_config("restartsrv_start_confirm_ms=0\n");
    double start = Vexlan::Time::monotonic_seconds_f();
    EXPECT_EQ(srv->wait_for_service_status(1), "up now");
    EXPECT_EQ(static_cast<UpAfterThree*>(srv.get())->probes, 3);
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 1.0);
    EXPECT_EQ(srv->service_status(), "up now");
}

TEST_F(Status, AStartCountsOnlyOnceTheServiceStayedUpForTheWindow) {
    struct AlwaysUp : Base {
        using Base::Base;
        int probes = 0;
        double minimum = 0;
        std::string status() override { return ++probes ? "up" : ""; }
        double _build_minimum_start_confirm_seconds() override { return minimum; }
    };
    auto srv = make_service<AlwaysUp>({{"service", "steady"}});
    auto& steady = static_cast<AlwaysUp&>(*srv);
    EXPECT_EQ(srv->start_confirm_seconds(), Base::START_CONFIRM_SECONDS) << "the default";
    set_main_config("restartsrv_start_confirm_ms=300\n");
    EXPECT_EQ(srv->start_confirm_seconds(), 0.3);
    const double start = Vexlan::Time::monotonic_seconds_f();
    EXPECT_EQ(srv->wait_for_service_status(1), "up");
    EXPECT_GE(Vexlan::Time::monotonic_seconds_f() - start, 0.3) << "up at once, but confirmed only after the window";
    EXPECT_GT(steady.probes, 3) << "looked at again and again during the window";
    steady.minimum = 2;
    EXPECT_EQ(srv->start_confirm_seconds(), 2.0) << "a class may lengthen the window";
    set_main_config("restartsrv_start_confirm_ms=5000\n");
    EXPECT_EQ(srv->start_confirm_seconds(), 5.0) << "but not shorten it";
    set_main_config("restartsrv_start_confirm_ms=soon\n");
    EXPECT_EQ(srv->start_confirm_seconds(), 2.0);
    EXPECT_NE(error_log().find("is not a number of milliseconds"), std::string::npos) << error_log();
}

TEST_F(Status, ALatePidfileGivesZeroAndOneWarning) {
    struct QuickTimeout : Base {
        using Base::Base;
        int _build_startup_timeout() override { return 1; }
    };
    auto srv = make_service<QuickTimeout>({{"service", "sleep"}, {"pidfile", root_.file("late.pid")}});
    EXPECT_EQ(srv->is_up_via_pidfile(), 0);
    std::string text = log();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("did not appear within 1 seconds"), std::string::npos);
    // A live process is not enough: it must be the service's.
    write_file(root_.file("late.pid"), std::to_string(::getpid()) + "\n");
    EXPECT_EQ(srv->is_up_via_pidfile(), 0) << "the test itself is no sleep";
    Child daemon({"sleep", "61"});
    wait_for_exec(daemon.pid(), "sleep");
    write_file(root_.file("late.pid"), std::to_string(daemon.pid()) + "\n");
    EXPECT_EQ(srv->is_up_via_pidfile(), 1);
    EXPECT_EQ(make_service<Base>({{"service", "nopidfile"}})->is_up_via_pidfile(), 0);
}

TEST_F(Status, IsUpWithViaWantsThatMethod) {
    Child daemon({"sleep", "62"});
    wait_for_exec(daemon.pid(), "sleep");
    write_file(root_.file("via.pid"), std::to_string(daemon.pid()) + "\n");
    auto srv = service({{"service", "sleep"}, {"pidfile", root_.file("via.pid")}});
    EXPECT_TRUE(srv->is_up());
    EXPECT_TRUE(srv->is_up("pidfile"));
    EXPECT_FALSE(srv->is_up("systemd"));
    auto down = service({{"service", "vx-down-daemon"}});
    EXPECT_FALSE(down->is_up());
}

TEST_F(Status, CheckRaisesForAServiceDisabledAfterItStarted) {
    ScratchDir dir;
    const std::string program = unique_copy(dir, "/bin/sleep", "vxchecked");
    Child daemon({program, "63"});
    wait_for_exec(daemon.pid(), "vxchecked");
    write_file(root_.file("c.pid"), std::to_string(daemon.pid()) + "\n");
    auto srv = service(
        {{"service", "checked"}, {"pidfile", root_.file("c.pid")}, {"command_line_regex", "vxchecked"}});
    EXPECT_TRUE(srv->check());
    srv->is_enabled(0);
    try {
        srv->check();
        FAIL() << "a disabled service fails its check";
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::Services::Disabled));
    }
    auto [ok, message] =
        service(
            {{"service", "checked2"}, {"pidfile", root_.file("c.pid")}, {"command_line_regex", "vxchecked"}})
            ->check_with_message();
    EXPECT_TRUE(ok);
    EXPECT_NE(message.find("with PID " + std::to_string(daemon.pid())), std::string::npos);
}

TEST_F(Status, ADownServiceRaisesTheSpecificSanityErrorFirst) {
    auto unconfigured =
        service({{"service", "uncfg"}, {"is_configured", 0}, {"not_configured_reason", "no config file"}});
    try {
        unconfigured->status();
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::Services::NotConfigured));
        EXPECT_NE(e.to_string().find("no config file"), std::string::npos);
    }
    auto nobinary = service({{"service", "nobin"}, {"service_binary", root_.file("missing-binary")}});
    VX_EXPECT_THROW_KIND(nobinary->check_sanity(), ::Vexlan::Exception::Kinds::Services::NoBinary);
    auto notinstalled =
        service({{"service", "noinst"}, {"service_binary", ""}, {"service_package", "vx-no-such-package"}});
    try {
        notinstalled->check_sanity();
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::Services::NotInstalled)) << e.to_string();
    }
    auto down = service({{"service", "vx-plain-down"}});
    try {
        down->status();
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::Services::Down));
    }
}
