// Init scripts of the tests' own, in a private root where no systemd runs: scripts that
// hang, that lie about starting, and pidfiles that name what is not the service's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "Process/ProcFs.hpp"
#include "Util/Text.hpp"
#include "Util/Time.hpp"
#include "support/InsideSandbox.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"

#include <signal.h>
#include <map>
#include <set>

using namespace testing_support;

namespace {
class InitdScripts : public ::testing::Test {
  protected:
    void SetUp() override { VX_REQUIRE(can_unshare(), "needs root and mount namespaces"); }
    void init_script(const std::string& name, const std::string& cases) {
        root_.init_script(name, "case \"$1\" in\n" + cases + "\n*) exit 2 ;;\nesac");
    }
    bool lock_is_free(const std::string& service) { return root_.lock_is_free(service); }
    ProgramRoot root_;
};
}  // namespace

TEST_F(InitdScripts, AScriptThatDoesNotReturnIsEndedWithWhatItStarted) {
    // The administrator gave init scripts two seconds.
    write_file(root_.state("/vexlan.conf"), "restartsrv_startup_command_timeout=2\n");
    init_script("vxhang",
                "start) sleep 60 & echo $! > " + root_.root() + "/helper; echo hanging; sleep 60 ;;");
    double start = Vexlan::Time::monotonic_seconds_f();
    auto r = root_.run("restartsrv_vxhang", {});
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 30.0);
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("did not return within 2 seconds"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("hanging"), std::string::npos) << "the startup log is shown: " << r.out;
    const pid_t helper = static_cast<pid_t>(std::stoi(read_file(root_.root() + "/helper")));
    EXPECT_FALSE(Vexlan::ProcFs::is_alive(helper)) << "what the script started went with it";
    EXPECT_TRUE(lock_is_free("vxhang"));
}

TEST_F(InitdScripts, AScriptThatStartsNothingIsAFailedStart) {
    init_script("vxliar", "start) echo 'Starting vxliar: done.' ;;\nstatus) exit 3 ;;");
    double start = Vexlan::Time::monotonic_seconds_f();
    auto r = root_.run("restartsrv_vxliar", {});
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 30.0) << "the script's own status ends the wait";
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("failed to start"), std::string::npos) << r.out;
}

TEST_F(InitdScripts, AStartThatNeverComesUpEndsAtItsTimeOutHavingLookedGently) {
    // The script never says either way; each look at it is a child of the program.
    write_file(root_.state("/vexlan.conf"), "restartsrv_start_timeout_ms=6000\n");
    const std::string calls = root_.root() + "/calls";
    init_script("vxnever", "start) exit 0 ;;\nstatus) date +%s%N >> " + calls + "; exit 4 ;;");
    const double start = Vexlan::Time::monotonic_seconds_f();
    auto r = root_.run("restartsrv_vxnever", {});
    const double took = Vexlan::Time::monotonic_seconds_f() - start;
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_NE(r.out.find("failed to start"), std::string::npos) << r.out;
    EXPECT_GE(took, 6.0) << "the configured time-out, not the default two minutes";
    EXPECT_LT(took, 60.0);
    const std::string looked = read_file(calls);
    const auto looks = std::count(looked.begin(), looked.end(), '\n');
    EXPECT_GE(looks, 3) << "looked again and again";
    EXPECT_LT(static_cast<double>(looks) / took, 5.0) << looks << " looks in " << took << " s";
}

TEST_F(InitdScripts, AKilledScriptIsNotASuccess) {
    init_script("vxkilled", "start) kill -KILL $$ ;;");
    auto r = root_.run("restartsrv_vxkilled", {"--noverbose"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(read_file(root_.product("/logs/error_log")).find("KILL"), std::string::npos)
        << "the signal is named in the log";
}

TEST_F(InitdScripts, ADaemonStartsWithTheCleanEnvironmentOnly) {
    const std::string pidfile = root_.root() + "/daemon";
    init_script("vxenv", "start) sleep 60 >/dev/null 2>&1 & echo $! > " + pidfile +
                             " ;;\nstatus) kill -0 $(cat " + pidfile + ") 2>/dev/null && exit 0; exit 3 ;;");
    root_.run("restartsrv_vxenv", {"--noverbose"},
              {"SECRET_TOKEN=x", "TMP=/tmp/user", "LD_PRELOAD=/tmp/evil.so", "HOME=/home/user"});
    const std::string written = read_file(root_.root() + "/daemon");
    const std::string pid(Vexlan::Text::trim(written));
    ASSERT_FALSE(pid.empty());
    std::set<std::string> names;
    std::map<std::string, std::string> env;
    for (const auto& entry : Vexlan::Text::split(read_file("/proc/" + pid + "/environ"), '\0')) {
        if (entry.empty()) continue;
        env[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    }
    ::kill(static_cast<pid_t>(std::stoi(pid)), SIGKILL);
    const std::set<std::string> allowed = {"PATH",
                                           "HOME",
                                           "USER",
                                           "LOGNAME",
                                           "SHELL",
                                           "LANG",
                                           "LC_ALL",
                                           "TZ",
                                           "TERM",
                                           "TMPDIR",
                                           "RESTARTSRV",
                                           "LANGUAGE",
                                           "LC_CTYPE",
                                           "LC_MESSAGES",
                                           "NO_COLOR",
                                           "VEXLAN_BASE_INSTALL",
                                           "RESTARTSRV_CHECKMODE_HEADER",
                                           "COLUMNS",
                                           "LINES",
                                           "SSH_TTY",
                                           "PWD",
                                           "SHLVL",
                                           "_"};
    for (const auto& [name, value] : env) EXPECT_TRUE(allowed.contains(name)) << name << "=" << value;
    EXPECT_EQ(env["RESTARTSRV"], "1");
    EXPECT_EQ(env["HOME"], "/root");
    EXPECT_EQ(env["USER"], "root");
    EXPECT_FALSE(env["TZ"].empty());
    EXPECT_FALSE(env.contains("TMP"));
}
