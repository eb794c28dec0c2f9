// systemd queries on recorded systemctl output, for cases a real systemd cannot be made
// to produce on demand.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "RestartSrv/Systemd.hpp"
#include "ServiceManager/Base.hpp"
#include "ServiceManager/Manager/Systemd.hpp"
#include "support/FakeSystemctl.hpp"
#include "support/ProcessHelpers.hpp"
#include "Util/Guards.hpp"
#include "Util/Paths.hpp"

namespace Systemd = Vexlan::RestartSrv::Systemd;
using namespace testing_support;

namespace {
class Recorded : public FakeSystemctlTest {
protected:
    void TearDown() override {
        FakeSystemctlTest::TearDown();
        Vexlan::ServiceManager::Manager::Systemd::set_confirm_pause_for_testing(1.0);
    }
};
}  // namespace

TEST(SystemdNames, UnitNamesAreNormalisedAtEightAndNineCharacters) {
    EXPECT_EQ(Systemd::normalize_unit_name("abcdefgh"), "abcdefgh.service");
    EXPECT_EQ(Systemd::normalize_unit_name("x.service"), "x.service");
    EXPECT_EQ(Systemd::normalize_unit_name(".service"), ".service.service");
    EXPECT_EQ(Systemd::normalize_unit_name("dovecot.socket"), "dovecot.socket.service");
}

TEST(SystemdProperties, ValuesAreCutAtTheirFirstEqualsSignAndBadKeysDropped) {
    auto map = Systemd::parse_properties("ExecStart={ path=/bin/x ; argv[]=/bin/x }\nMainPID=12\nMainPID=13\nBad-Key=1\n=x\nNoValue\n");
    EXPECT_EQ(map["ExecStart"], "{ path");
    EXPECT_EQ(map["MainPID"], "13");
    EXPECT_FALSE(map.count("Bad-Key"));
    EXPECT_EQ(map["NoValue"], "");
}

TEST_F(Recorded, HasServiceRefusesNotFoundAndForeignFragmentsButAcceptsMaskedAndEmpty) {
    reply("show", "gone.service", "LoadState=not-found\nActiveState=inactive\n");
    reply("show", "foreign.service", "LoadState=loaded\nFragmentPath=/opt/units/foreign.service\n");
    reply("show", "masked.service", "LoadState=masked\nFragmentPath=/dev/null\n");
    reply("show", "transient.service", "LoadState=loaded\nFragmentPath=\n");
    reply("show", "real.service", "LoadState=loaded\nFragmentPath=/lib/systemd/system/real.service\n");
    EXPECT_FALSE(Systemd::has_service_via_systemd(""));
    EXPECT_FALSE(Systemd::has_service_via_systemd("gone"));
    EXPECT_FALSE(Systemd::has_service_via_systemd("foreign"));
    EXPECT_TRUE(Systemd::has_service_via_systemd("masked"));
    EXPECT_TRUE(Systemd::has_service_via_systemd("transient"));
    EXPECT_TRUE(Systemd::has_service_via_systemd("real"));
    EXPECT_NE(calls().find("show -p LoadState -p ActiveState"), std::string::npos) << calls();
}

TEST_F(Recorded, AMainPidOfZeroFallsThroughToTheStatusReportAndThePidfile) {
    reply("show", "zero.service", "LoadState=loaded\nActiveState=active\nSubState=exited\nMainPID=0\n");
    reply("status", "zero.service",
          "* zero.service - Zero\n     Loaded: loaded (/etc/systemd/system/zero.service)\n     Active: active (exited)\n"
          "     CGroup: /system.slice/zero.service\n             `-4242 /usr/sbin/zerod\n");
    EXPECT_EQ(Systemd::get_pid_via_systemd("zero"), "4242");

    Child daemon({"sleep", "60"});
    write_file(root_.file("d.pid"), std::to_string(daemon.pid()) + "\n");
    reply("show", "pidf.service", "LoadState=loaded\nActiveState=active\nSubState=running\nMainPID=0\nPIDFile=" + root_.file("d.pid") + "\n");
    EXPECT_EQ(Systemd::get_pid_via_systemd("pidf"), std::to_string(daemon.pid()));

    reply("show", "live.service", "MainPID=77\n");
    EXPECT_EQ(Systemd::get_pid_via_systemd("live"), "77");
    reply("show", "none.service", "LoadState=loaded\nActiveState=inactive\nMainPID=0\n");
    EXPECT_FALSE(Systemd::get_pid_via_systemd("none"));
}

TEST(SystemdStatusReport, PidListingStopsAtTheRightLines) {
    const std::vector<std::string> report = {"* x.service - X", "     Loaded: loaded (/x)", "     Active: active (running)",
                                             "   Main PID: 10 (x)", "     CGroup: /system.slice/x.service",
                                             "             |-10 /usr/sbin/x", "             `-11 /usr/sbin/x --worker",
                                             "", "Dec 08 x[10]: 99 lines of journal"};
    EXPECT_EQ(Systemd::parse_status_pids(report), (std::vector<std::string>{"10", "11"}));
    EXPECT_TRUE(Systemd::parse_status_pids({"Loaded: masked (x)", "CGroup: /x", " |-5 y"}).empty());
    EXPECT_TRUE(Systemd::parse_status_pids({"Active: inactive (dead)", "CGroup: /x", " |-5 y"}).empty());
    EXPECT_EQ(Systemd::parse_status_pids({"     Loaded: masked (indented lines are no header)", "CGroup: /x", " |-5 y"}),
              std::vector<std::string>{"5"});
    EXPECT_EQ(Systemd::parse_status_pids({"CGroup: /x", " |-5 y", " `-no pid here", " `-6 z"}), std::vector<std::string>{"5"});
}

TEST(SystemdStatusReport, CodeAndSignalOfTheMainProcess) {
    auto [active, code, signal] = Systemd::parse_code_and_signal(
        {"* x.service", "     Active: deactivating (stop) since now", "   Main PID: 99 (code=killed, signal=TERM)", "", "Active: ignored"});
    EXPECT_EQ(active, "deactivating");
    EXPECT_EQ(code, "killed");
    EXPECT_EQ(signal, "TERM");
    auto [a2, c2, s2] = Systemd::parse_code_and_signal({"     Active: active (running)", "   Main PID: 5 (sleep)"});
    EXPECT_EQ(a2, "active");
    EXPECT_EQ(c2, "");
    EXPECT_EQ(s2, "");
}

TEST_F(Recorded, IsActiveConfirmsALiveActiveAnswerTwiceButTrustsNotActiveAtOnce) {
    Vexlan::ServiceManager::Manager::Systemd::set_confirm_pause_for_testing(0.2);
    auto srv = Vexlan::ServiceManager::make_service<Vexlan::ServiceManager::Base>({{"service", "flip"}});
    reply("is-active", "flip.service", "", 0);
    Vexlan::ServiceManager::Manager::Systemd was_inactive("flip", {{"ActiveState", "inactive"}});
    double start = Vexlan::Time::monotonic_seconds_f();
    EXPECT_TRUE(was_inactive.is_active(*srv));
    EXPECT_GE(Vexlan::Time::monotonic_seconds_f() - start, 0.4);
    std::string first = calls();
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 3);

    std::filesystem::remove(fake_.file("calls"));
    reply("is-active", "flip.service", "", 3);
    Vexlan::ServiceManager::Manager::Systemd was_active("flip", {{"ActiveState", "active"}});
    EXPECT_FALSE(was_active.is_active(*srv));
    std::string second = calls();
    EXPECT_EQ(std::count(second.begin(), second.end(), '\n'), 2) << "one more not-active answer ends it";
}
