#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/TestSupport.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Exception/Exception.hpp"
#include "Process/PidFile/PidFile.hpp"
#include "Process/Fuser/Fuser.hpp"
#include "Process/Kill/AppPort.hpp"
#include "Process/Kill/Kill.hpp"
#include "Process/ProcessInfo/ProcessInfo.hpp"
#include "Process/Signal/Numbers.hpp"
#include "RestartSrv/Legacy.hpp"
#include "support/ProcessHelpers.hpp"

namespace Kill = Vexlan::Kill;
using namespace testing_support;

namespace {
std::string base_name(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}
}  // namespace

TEST(Kill, ImmunePidsAreNeverSignalledEvenWhenTheirNameMatches) {
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/bin/sleep", "vximmune");
    Child spared({prog, "60"});
    Child doomed({prog, "61"});
    wait_for_exec(spared.pid(), "vximmune");
    wait_for_exec(doomed.pid(), "vximmune");
    EXPECT_EQ(Kill::safekill(base_name(prog), false, 2, {spared.pid()}), 1);
    EXPECT_TRUE(spared.alive());
    EXPECT_FALSE(doomed.alive());
}

TEST(Kill, TheCallerIsNeverSignalledByItsOwnName) {
    // A copy of this test program, named uniquely, asks to kill its own name.
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/proc/self/exe", "vxselfkill");
    std::string cmd =
        "VEXLAN_KILL_HELPER=self " + prog +
        " --gtest_filter=KillHelper.DISABLED_KillOwnName --gtest_also_run_disabled_tests >/dev/null 2>&1";
    int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the helper killed itself or found a candidate";
}

// Run only as the helper of the test above, in a copy of this program.
TEST(KillHelper, DISABLED_KillOwnName) {
    std::string self = Vexlan::Proc::Bin::getbin(::getpid());
    EXPECT_EQ(Kill::safekill(base_name(self), false, 1), 0);
}

TEST(Kill, AProcessThatExitsSoonAfterTermIsGoneWithoutAForcedKill) {
    ScratchDir dir;
    std::string sh = unique_copy(dir, "/bin/dash", "vxpolite");
    Child c({sh, "-c",
             "trap 'sleep 0.03; echo graceful > " + dir.file("mark") +
                 "; exit 0' TERM; : > " + dir.file("trapped") + "; while :; do sleep 0.01; done"});
    // Its handler is in place once it says so.
    wait_until([&] { return std::filesystem::exists(dir.file("trapped")); });
    double start = Vexlan::Time::monotonic_seconds_f();
    EXPECT_EQ(Kill::safekill(base_name(sh), false, 15), 1);
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 2.0);
    EXPECT_EQ(read_file(dir.file("mark")), "graceful\n");
    EXPECT_TRUE(child_pids().empty()) << "the own child was reaped during the escalation";
}

TEST(Kill, AProcessThatIgnoresTermIsKilledAfterTheWaitTime) {
    ScratchDir dir;
    std::string sh = unique_copy(dir, "/bin/dash", "vxstubborn");
    Child c({sh, "-c", "trap '' TERM; : > " + dir.file("trapped") + "; while :; do sleep 0.05; done"});
    wait_until([&] { return std::filesystem::exists(dir.file("trapped")); });
    double start = Vexlan::Time::monotonic_seconds_f();
    EXPECT_EQ(Kill::safekill(base_name(sh), false, 1), 1);
    double took = Vexlan::Time::monotonic_seconds_f() - start;
    EXPECT_GE(took, 1.0);
    EXPECT_LT(took, 3.0);
    EXPECT_FALSE(c.alive());
}

TEST(Kill, ASurvivorIsGivenUpAfterTwiceTheWaitTime) {
    VX_REQUIRE(can_unshare(), "needs root for a pid namespace");
    // PID 1 of a pid namespace cannot be killed from inside it: a true survivor.
    ScratchDir dir;
    std::string self = Vexlan::Proc::Bin::getbin(::getpid());
    // No shell: the checkout's path may hold a space.
    run_command({"unshare", "--pid", "--fork", "--mount-proc", "/usr/bin/env", "VEXLAN_KILL_HELPER=survivor",
                 "VEXLAN_KILL_REPORT=" + dir.file("report"), self,
                 "--gtest_filter=KillHelper.DISABLED_SurvivorInsideANamespace", "--gtest_also_run_disabled_tests"});
    EXPECT_EQ(read_file(dir.file("report")), "result=0 gave-up-in-time=1")
        << "the helper ran inside the namespace";
}

// Run only as the helper of the test above, inside a pid namespace.
TEST(KillHelper, DISABLED_SurvivorInsideANamespace) {
    double start = Vexlan::Time::monotonic_seconds_f();
    int result = Kill::safekill_multipid({1}, false, 2);
    double took = Vexlan::Time::monotonic_seconds_f() - start;
    std::ofstream(std::getenv("VEXLAN_KILL_REPORT"))
        << "result=" << result << " gave-up-in-time=" << (took >= 3.8 && took < 5.5);
}

TEST(Kill, NoMatchSendsNoSignal) {
    EXPECT_EQ(Kill::safekill(std::string("vx-no-such-process-anywhere"), false, 1), 0);
}

TEST(Kill, AZombieCountsAsGone) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    wait_until([&] { return Vexlan::ProcFs::is_zombie(pid); });
    EXPECT_TRUE(Vexlan::ProcFs::is_zombie(pid));
    EXPECT_FALSE(Vexlan::ProcFs::is_alive(pid));
    // Nothing is left to signal: the escalation reports so at once instead of waiting.
    double start = Vexlan::Time::monotonic_seconds_f();
    EXPECT_EQ(Kill::safekill_multipid({pid}, false, 1), 0);
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 0.5);
    ::waitpid(pid, nullptr, 0);
}

TEST(Kill, AProcessThatIsNoLongerTheOneFirstFoundIsNeverSignalled) {
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/bin/sleep", "vxreused");
    Child c({prog, "60"});
    wait_for_exec(c.pid(), "vxreused");
    Kill::Target wrong{c.pid(), *Vexlan::ProcFs::start_time(c.pid()) + 1};  // as if the pid had been reused
    EXPECT_FALSE(Kill::still_the_same(wrong));
    EXPECT_EQ(Kill::escalate({wrong}, false, 1, "reused"), 0);
    EXPECT_TRUE(c.alive());
}

TEST(Kill, TheEscalationStepsGrowWithTheAccumulatedWait) {
    EXPECT_EQ(Kill::polite_step(0), 0.0025);
    EXPECT_EQ(Kill::polite_step(0.01), 0.0025);
    EXPECT_EQ(Kill::polite_step(0.0125), 0.01);
    EXPECT_EQ(Kill::polite_step(0.5), 0.01);
    EXPECT_EQ(Kill::polite_step(0.51), 0.05);
}

TEST(Kill, KillallSendsOneSignalAndReports) {
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/bin/sleep", "vxkillall");
    Child a({prog, "60"});
    wait_for_exec(a.pid(), "vxkillall");
    auto [ok, count, message] = Kill::killall("term", base_name(prog));
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(count, 1);
    EXPECT_NE(message.find(std::to_string(a.pid())), std::string::npos);
    EXPECT_EQ(WTERMSIG(a.wait()), SIGTERM);
    EXPECT_EQ(std::get<0>(Kill::killall("", base_name(prog))), 0);
    EXPECT_EQ(std::get<0>(Kill::killall("NOSUCH", base_name(prog))), 0);
    VX_EXPECT_THROW_KIND(Kill::killall("TERM", std::string("init")),
                         ::Vexlan::Exception::Kinds::InvalidParameter);
    EXPECT_EQ(Vexlan::Signal::Numbers::number_of("SIGUSR1"), 10);
    EXPECT_EQ(Kill::_verify_proc_mounted().first, 1);
}

TEST(Doomedprocess, NeverKillsTheCallerOrItsAncestors) {
    auto lineage = Vexlan::ProcessInfo::get_pid_lineage();
    EXPECT_EQ(lineage.front(), ::getpid());
    EXPECT_EQ(lineage[1], ::getppid());
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/bin/sleep", "vxdoomed");
    Child c({prog, "60"});
    wait_for_exec(c.pid(), "vxdoomed");
    // A pidfile's word never reaches this process, its callers, init or a process group.
    for (pid_t p : lineage) EXPECT_FALSE(Vexlan::PidFile::may_signal(p)) << "lineage " << p;
    for (pid_t p : {0, 1, -1, -c.pid()}) EXPECT_FALSE(Vexlan::PidFile::may_signal(p)) << p;
    EXPECT_TRUE(Vexlan::PidFile::may_signal(c.pid()));
    for (const auto& [text, pid] : std::vector<std::pair<std::string, std::optional<pid_t>>>{
             {"1\n", std::nullopt}, {"0\n", std::nullopt}, {std::to_string(c.pid()) + "\n", c.pid()}}) {
        testing_support::write_file(dir.file("pid"), text);
        EXPECT_EQ(Vexlan::PidFile::read(dir.file("pid")), pid) << text;
    }
    EXPECT_EQ(Vexlan::RestartSrv::doomedprocess(nlohmann::json::array({base_name(prog)}), false, 2), 1);
    EXPECT_FALSE(c.alive());
    EXPECT_EQ(Vexlan::RestartSrv::doomedprocess(nullptr, false), 0);
}

TEST(Fuser, FindsAFileHeldOpenByAChild) {
    ScratchDir dir;
    testing_support::write_file(dir.file("held"), "x");
    Child holder({"/bin/sh", "-c", "exec 7<" + dir.file("held") + "; exec sleep 60"});
    // "sleep" stands in the shell's own command line too: wait until it is the program.
    wait_for_argv0(holder.pid(), "sleep");
    auto found = Vexlan::Fuser::check({dir.file("held"), dir.file("nobody")});
    ASSERT_TRUE(found.count(dir.file("held")));
    EXPECT_TRUE(contains(found[dir.file("held")], holder.pid()));
    EXPECT_FALSE(found.count(dir.file("nobody")));
    EXPECT_EQ(Vexlan::Fuser::proc_has_open_files(holder.pid(), {dir.file("held")}),
              std::vector<std::string>{dir.file("held")});
}

namespace {
int free_port() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

std::vector<std::string> listener(const std::string& address, int port) {
    return {"/usr/bin/python3", "-c",
            "import socket,time\ns=socket.socket()\ns.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, "
            "1)\ns.bind(('" +
                address + "', " + std::to_string(port) + "))\ns.listen()\ntime.sleep(60)"};
}
}  // namespace

TEST(KillAppPort, FreesAPortButLeavesAListenerOnAnExcludedAddress) {
    int port = free_port();
    Child held(listener("127.0.0.1", port));
    Child excluded(listener("127.0.0.2", port));
    wait_until([&] { return Kill::AppPort::find_listeners({port}).size() == 2; });
    ASSERT_EQ(Kill::AppPort::find_listeners({port}).size(), 2u);
    auto result = Kill::AppPort::kill_apps_on_ports({port}, false, {"127.0.0.2"}, 2);
    EXPECT_EQ(result.terminated, std::vector<pid_t>{held.pid()});
    EXPECT_TRUE(result.gone);
    EXPECT_FALSE(held.alive());
    EXPECT_TRUE(excluded.alive());
}

TEST(KillAppPort, TheCallerItsAncestorsAndPid1AreLeftAlone) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(s, 1);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    auto result = Kill::AppPort::kill_apps_on_ports({ntohs(a.sin_port)}, false, {}, 1);
    EXPECT_TRUE(result.terminated.empty());
    EXPECT_EQ(result.left_alone, std::vector<pid_t>{::getpid()});
    ::close(s);
}

TEST(KillAppPort, AddressesAreDecodedFromTheKernelTables) {
    EXPECT_EQ(Kill::AppPort::decode_address("0100007F:1F90"), std::make_pair(std::string("127.0.0.1"), 8080));
    EXPECT_EQ(Kill::AppPort::decode_address("00000000000000000000000001000000:0050"),
              std::make_pair(std::string("::1"), 80));
}
