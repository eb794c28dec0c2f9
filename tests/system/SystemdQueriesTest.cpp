// systemd's answers about units, asked over its bus of a real systemd in a sandbox: every
// kind of unit the program treats specially, as systemd itself reports it.
#include <gtest/gtest.h>

#include <filesystem>

#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "support/InsideSandbox.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"
#include "Util/Time.hpp"

namespace Systemd = Vexlan::RestartSrv::Systemd;
using namespace testing_support;

TEST(SystemdNames, UnitNamesAreNormalisedAtEightAndNineCharacters) {
    EXPECT_EQ(Systemd::normalize_unit_name("abcdefgh"), "abcdefgh.service");
    EXPECT_EQ(Systemd::normalize_unit_name("x.service"), "x.service");
    EXPECT_EQ(Systemd::normalize_unit_name(".service"), ".service.service");
    EXPECT_EQ(Systemd::normalize_unit_name("dovecot.socket"), "dovecot.socket.service");
    EXPECT_EQ(Systemd::strip_unit_suffix("foo.service"), "foo");
    EXPECT_EQ(Systemd::strip_unit_suffix(".service"), ".service");
}

TEST(SystemdQueries, WhichUnitsCountAsTheProgramsUnits) {
    VX_RUN_INSIDE_SANDBOX();
    install_unit_here("vxplain.service", "[Service]\nExecStart=/bin/sleep infinity\n");
    install_unit_here("vxtpl@.service", "[Service]\nExecStart=/bin/sleep infinity\n");
    std::filesystem::create_symlink("/dev/null", "/etc/systemd/system/vxmasked.service");
    write_file("/etc/init.d/vxgen", "#!/bin/sh\n### BEGIN INIT INFO\n# Provides: vxgen\n### END INIT INFO\nexit 0\n", 0755);
    // Units wherever systemd finds them, and one that runs on after its file went away.
    std::filesystem::create_directories("/run/systemd/system");
    write_file("/run/systemd/system/vxruntime.service", "[Service]\nExecStart=/bin/sleep infinity\n");
    install_unit_here("vxgone.service", "[Service]\nExecStart=/bin/sleep infinity\n");
    // A runtime mask outranks a vendor unit: the sandbox's own copy of the vendor directory.
    sh("mkdir -p /run/vendor-units && cp -a /lib/systemd/system/. /run/vendor-units/ && "
       "printf '[Service]\\nExecStart=/bin/sleep infinity\\n' > /run/vendor-units/vxrtmask.service && "
       "mount --bind /run/vendor-units /lib/systemd/system");
    sh("systemctl daemon-reload && systemd-run --unit=vxtransient /bin/sleep infinity && systemctl start vxgone && "
       "rm /etc/systemd/system/vxgone.service && systemctl mask --runtime vxrtmask && systemctl daemon-reload");

    auto plain = Systemd::has_service_via_systemd("vxplain");
    ASSERT_TRUE(plain);
    EXPECT_EQ((*plain)["LoadState"], "loaded");
    EXPECT_EQ((*plain)["FragmentPath"], "/etc/systemd/system/vxplain.service");
    EXPECT_TRUE(Systemd::has_service_via_systemd("vxplain.service")) << "the unit suffix is accepted";
    EXPECT_TRUE(Systemd::has_service_via_systemd("vxtpl@one")) << "a template instance";
    auto masked = Systemd::has_service_via_systemd("vxmasked");
    ASSERT_TRUE(masked) << "a masked unit is still a unit";
    EXPECT_EQ((*masked)["LoadState"], "masked");
    EXPECT_EQ(Systemd::get_service_info_via_systemd("vxnothing")["LoadState"], "not-found");
    EXPECT_FALSE(Systemd::has_service_via_systemd("vxnothing"));
    for (const char* unit : {"vxtransient", "vxruntime", "vxgone", "vxrtmask"})
        EXPECT_TRUE(Systemd::has_service_via_systemd(unit)) << unit << " " << show_here(std::string(unit) + ".service", "FragmentPath");
    EXPECT_EQ(Systemd::get_service_info_via_systemd("vxgone")["LoadState"], "not-found") << "running, its file gone";
    EXPECT_EQ(Systemd::get_service_info_via_systemd("vxrtmask")["LoadState"], "masked");
    // A generated unit takes a path of its own.
    EXPECT_FALSE(Systemd::has_service_via_systemd("vxgen")) << show_here("vxgen.service", "FragmentPath");
    EXPECT_FALSE(Systemd::has_service_via_systemd(""));
    // An answer is kept until something can have changed it.
    const unsigned calls = Systemd::Bus::get().calls();
    EXPECT_TRUE(Systemd::has_service_via_systemd("vxplain"));
    EXPECT_EQ(Systemd::Bus::get().calls(), calls);
    Systemd::Bus::get().forget();
    EXPECT_TRUE(Systemd::has_service_via_systemd("vxplain"));
    EXPECT_GT(Systemd::Bus::get().calls(), calls);
}

TEST(SystemdQueries, PidsComeOnlyFromTheUnitsOwnProcessList) {
    VX_RUN_INSIDE_SANDBOX();
    // No main process, one process in the unit, and digits in the name and description
    // that must never pass for a pid.
    install_unit_here("vx4242.service",
                      "[Unit]\nDescription=pid 1234 of 4242\n[Service]\nType=oneshot\nRemainAfterExit=yes\n"
                      "ExecStart=/bin/sh -c '/bin/sleep 1000 & echo $! > /run/vx4242.bg'\n");
    install_unit_here("vx5151.service", "[Unit]\nDescription=5151\n[Service]\nType=oneshot\nRemainAfterExit=yes\nExecStart=/bin/true\n");
    sh("systemctl start vx4242 vx5151");
    EXPECT_EQ(show_here("vx4242.service", "MainPID"), "0");
    EXPECT_EQ(show_here("vx4242.service", "SubState"), "exited");
    std::string bg = read_file("/run/vx4242.bg");
    bg.pop_back();
    EXPECT_EQ(Systemd::get_pid_via_systemd("vx4242").value_or(""), bg);
    EXPECT_EQ(Systemd::get_pids_via_systemd("vx4242"), std::vector<std::string>{bg});
    EXPECT_FALSE(Systemd::get_pid_via_systemd("vx5151")) << "an exited unit without processes has no pid";
    EXPECT_TRUE(Systemd::get_pids_via_systemd("vx5151").empty());
}

TEST(SystemdQueries, TheExitCodeAndSignalOfTheMainProcess) {
    VX_RUN_INSIDE_SANDBOX();
    install_unit_here("vxkill.service", "[Service]\nExecStart=/bin/sleep infinity\n");
    install_unit_here("vxexit.service", "[Service]\nExecStart=/bin/sh -c 'exit 3'\n");
    sh("systemctl start vxkill vxexit; systemctl kill --signal=KILL vxkill");
    wait_until([&] { return show_here("vxkill.service", "ActiveState") == "failed"; });
    EXPECT_EQ(Systemd::get_code_and_signal_via_systemd("vxkill"),
              std::make_tuple(std::string("failed"), std::string("killed"), std::string("KILL")));
    auto [state, code, signal] = Systemd::get_code_and_signal_via_systemd("vxexit");
    EXPECT_EQ(code, "exited");
    EXPECT_EQ(signal, "");
}

TEST(SystemdQueries, JobsReportSystemdsReasonsLikeSystemctl) {
    VX_RUN_INSIDE_SANDBOX();
    install_unit_here("vxrefuse.service", "[Unit]\nRefuseManualStop=yes\n[Service]\nExecStart=/bin/sleep infinity\n");
    install_unit_here("vxfail.service", "[Service]\nType=oneshot\nExecStart=/bin/false\n");
    auto& bus = Systemd::Bus::get();
    EXPECT_TRUE(bus.run_job("StartUnit", "vxrefuse.service").ok);
    auto refused = bus.run_job("StopUnit", "vxrefuse.service");
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find("Failed to stop vxrefuse.service: Operation refused"), std::string::npos) << refused.error;
    EXPECT_EQ(show_here("vxrefuse.service", "ActiveState"), "active");
    auto failed = bus.run_job("RestartUnit", "vxfail.service");
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.result, "failed");
    EXPECT_NE(failed.error.find("Job for vxfail.service failed because the control process exited with error code."),
              std::string::npos) << failed.error;
    auto missing = bus.run_job("StartUnit", "vxabsent.service");
    EXPECT_NE(missing.error.find("Unit vxabsent.service not found."), std::string::npos) << missing.error;
}
