#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include "Exception/Exception.hpp"
#include "Process/ProcFs.hpp"
#include "SafeRun/Object.hpp"
#include "SafeRun/ReadMultipleFH.hpp"
#include "Util/Guards.hpp"
#include "Util/Time.hpp"
#include "Util/UniqueFd.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"

namespace Kinds = Vexlan::Exception::Kinds;

using testing_support::child_pids;
using testing_support::open_fds;
using Vexlan::SafeRun::Object;
using Vexlan::SafeRun::Options;

namespace {
Options sh(const std::string& script) {
    Options o;
    o.program = "/bin/sh";
    o.args = {"-c", script};
    return o;
}

// Every run must leave the caller's descriptors and children exactly as they were.
class SafeRunObject : public ::testing::Test {
  protected:
    void SetUp() override { fds_ = open_fds(); }
    void TearDown() override {
        EXPECT_EQ(open_fds(), fds_) << "a descriptor leaked";
        EXPECT_TRUE(child_pids().empty()) << "a child was left behind";
    }
    std::set<int> fds_;
};
}  // namespace

TEST_F(SafeRunObject, ASuccessfulRunHasNoErrorAndNoAutopsy) {
    Object run(sh("echo out; echo err >&2"));
    EXPECT_EQ(run.CHILD_ERROR(), 0);
    EXPECT_EQ(run.stdout_text(), "out\n");
    EXPECT_EQ(run.stderr_text(), "err\n");
    EXPECT_FALSE(run.error_code());
    EXPECT_FALSE(run.signal_code());
    EXPECT_FALSE(run.autopsy());
    EXPECT_FALSE(run.to_exception());
    EXPECT_NO_THROW(run.die_if_error());
    EXPECT_GT(run.child_pid(), 0);
}

TEST_F(SafeRunObject, WithoutStdinTheChildSeesEndOfFileAtOnce) {
    Object a(sh("cat; echo done"));
    EXPECT_EQ(a.stdout_text(), "done\n");
    Options o = sh("cat; echo done");
    o.stdin_input = std::string();
    Object b(std::move(o));
    EXPECT_EQ(b.stdout_text(), "done\n");
}

TEST_F(SafeRunObject, StdinTextCallbackAndPumpReachTheChild) {
    Options a = sh("cat");
    a.stdin_input = std::string("text in");
    EXPECT_EQ(Object(std::move(a)).stdout_text(), "text in");

    Options b = sh("cat");
    b.stdin_input = std::function<void(int)>([](int fd) { [[maybe_unused]] auto n = ::write(fd, "cb", 2); });
    EXPECT_EQ(Object(std::move(b)).stdout_text(), "cb");

    struct Counting : Vexlan::SafeRun::Source {
        size_t left = 300000;
        ssize_t read(char* buf, size_t len) override {
            size_t n = std::min(len, left);
            std::memset(buf, 'x', n);
            left -= n;
            return static_cast<ssize_t>(n);
        }
    };
    Options c = sh("wc -c");
    c.stdin_input = std::shared_ptr<Vexlan::SafeRun::Source>(std::make_shared<Counting>());
    EXPECT_EQ(std::stol(Object(std::move(c)).stdout_text()), 300000);
}

TEST_F(SafeRunObject, MergedInMemoryHandleGetsBothStreamsAndNothingIsCaptured) {
    std::string merged;
    auto sink = std::make_shared<Vexlan::SafeRun::StringSink>(merged);
    Options o = sh("echo one; echo two >&2; echo three");
    o.stdout_handle = Vexlan::SafeRun::OutputHandle{std::static_pointer_cast<Vexlan::SafeRun::Sink>(sink)};
    o.stderr_handle = o.stdout_handle;
    Object run(std::move(o));
    EXPECT_EQ(merged, "one\ntwo\nthree\n");
    VX_EXPECT_THROW_KIND(run.stdout_text(), ::Vexlan::Exception::Kinds::Generic);
    EXPECT_EQ(run.CHILD_ERROR(), 0);
    EXPECT_FALSE(run.autopsy());
}

TEST_F(SafeRunObject, AProgramMissingByNameIsExitCode2AndExecFailed) {
    Options o;
    o.program = "vexlan-no-such-program";
    Object run(std::move(o));
    EXPECT_EQ(run.error_code(), 2);
    EXPECT_TRUE(run.exec_failed());
    EXPECT_NE(run.stderr_text().find("vexlan-no-such-program"), std::string::npos);
    ASSERT_TRUE(run.autopsy());
}

TEST_F(SafeRunObject, AProgramMissingByNameOnTheForkPathIsExitCode2AndExecFailed) {
    Object::force_fork_path(true);
    Options o;
    o.program = "vexlan-no-such-program";
    Object run(std::move(o));
    Object::force_fork_path(false);
    EXPECT_EQ(run.error_code(), 2);
    EXPECT_TRUE(run.exec_failed());
    EXPECT_NE(run.stderr_text().find("vexlan-no-such-program"), std::string::npos);
}

TEST_F(SafeRunObject, AProgramThatExitsWithCodeTwoIsNotAnExecFailure) {
    Object run(sh("exit 2"));
    EXPECT_EQ(run.error_code(), 2);
    EXPECT_FALSE(run.exec_failed());
}

TEST_F(SafeRunObject, InvalidOptionsAreRefusedBeforeAnythingRuns) {
    Options missing;
    missing.program = "/no/such/dir/prog";
    try {
        Object run(std::move(missing));
        FAIL() << "a missing path must be refused";
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::InvalidParameter));
        EXPECT_NE(e.to_string().find("/no/such/dir/prog"), std::string::npos);
    }
    Options empty;
    VX_EXPECT_THROW_KIND(Object{std::move(empty)}, ::Vexlan::Exception::Kinds::Generic);
    Options logger = sh("true");
    logger.logger = true;
    VX_EXPECT_THROW_KIND(Object{std::move(logger)}, ::Vexlan::Exception::Kinds::InvalidParameter);
}

TEST_F(SafeRunObject, MoreThanAPipeOnBothStreamsCompletesWithoutDeadlock) {
    Object run(sh("head -c 1000000 /dev/zero; head -c 900000 /dev/zero >&2; head -c 1000000 /dev/zero"));
    EXPECT_EQ(run.stdout_text().size(), 2000000u);
    EXPECT_EQ(run.stderr_text().size(), 900000u);
}

TEST_F(SafeRunObject, OverallTimeOutKillsAndReapsTheChild) {
    Options o = sh("echo started; exec sleep 30");
    o.timeout = 1;
    Object run(std::move(o));
    EXPECT_EQ(run.timed_out(), 1);
    EXPECT_EQ(run.stdout_text(), "started\n");
    EXPECT_EQ(::kill(run.child_pid(), 0), -1);
    auto e = run.to_exception();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isa(Kinds::ProcessFailed::Timeout));
    EXPECT_NE(run.autopsy()->find("timed out after 1 seconds"), std::string::npos);
}

TEST_F(SafeRunObject, TheTimeOutHoldsForOutputToADescriptorAndEndsTheChildsGroup) {
    // A hung script that writes to a file and started a helper of its own, and a daemon
    // that left for a session of its own: the script and its helper go, the daemon stays.
    testing_support::ScratchDir dir;
    Vexlan::UniqueFd log(::open(dir.file("log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    Options o = sh("setsid sleep 30 & echo $! > " + dir.file("daemon") + "; sleep 30 & echo $! > " +
                   dir.file("helper") + "; echo started; sleep 30");
    o.timeout = 1;
    o.stdout_handle = Vexlan::SafeRun::OutputHandle{Vexlan::SafeRun::Fd{log.get()}};
    o.stderr_handle = o.stdout_handle;
    double start = Vexlan::Time::monotonic_seconds_f();
    Object run(std::move(o));
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 4.0);
    EXPECT_EQ(run.timed_out(), 1.0);
    EXPECT_EQ(run.signal_code(), SIGTERM);
    auto pid_in = [&](const char* name) {
        return static_cast<pid_t>(std::stoi(testing_support::read_file(dir.file(name))));
    };
    const pid_t helper = pid_in("helper"), daemon = pid_in("daemon");
    testing_support::wait_until([&] { return !Vexlan::ProcFs::is_alive(helper); });
    EXPECT_FALSE(Vexlan::ProcFs::is_alive(helper)) << "the script's own child went with it";
    EXPECT_TRUE(Vexlan::ProcFs::is_alive(daemon)) << "a session leader is outside the group";
    ::kill(daemon, SIGKILL);
    EXPECT_EQ(testing_support::read_file(dir.file("log")), "started\n");
}

TEST_F(SafeRunObject, PerReadTimeOutStrikesBeforeTheOverallOne) {
    Options o = sh("echo a; sleep 30");
    o.timeout = 20;
    o.read_timeout = 1;
    Object run(std::move(o));
    EXPECT_EQ(run.timed_out(), 1);
    EXPECT_TRUE(run.to_exception()->isa(Kinds::ProcessFailed::Timeout));
}

TEST_F(SafeRunObject, ASignalledChildIsDescribedWithItsSignal) {
    Object run(sh("kill -TERM $$"));
    EXPECT_EQ(run.error_code(), 0);
    EXPECT_EQ(run.signal_code(), SIGTERM);
    EXPECT_EQ(run.signal_name(), "TERM");
    EXPECT_TRUE(run.to_exception()->isa(Kinds::ProcessFailed::Signal));
    EXPECT_NE(run.autopsy()->find("TERM"), std::string::npos);
    EXPECT_NE(run.terse_autopsy().find("SIGTERM"), std::string::npos);
}

TEST_F(SafeRunObject, ACoreDumpIsDescribed) {
    // The core, when the kernel writes one, lands in the scratch directory, not the checkout.
    testing_support::ScratchDir dir;
    Options o = sh("cd '" + dir.path() + "' && ulimit -c unlimited; kill -SEGV $$");
    Object run(std::move(o));
    EXPECT_EQ(run.signal_code(), SIGSEGV);
    // Whether the kernel writes a core depends on core_pattern; the flag must follow the status.
    EXPECT_EQ(run.dumped_core(), (*run.CHILD_ERROR() & 128) != 0);
    Vexlan::ChildErrorStringifier cored(SIGSEGV | 128, std::string("prog"));
    EXPECT_TRUE(cored.dumped_core());
    EXPECT_NE(cored.autopsy()->find("core"), std::string::npos);
    EXPECT_NE(cored.terse_autopsy().find("core"), std::string::npos);
}

TEST_F(SafeRunObject, ExitCodeErrorsCarryTheCapturedOutput) {
    Object run(sh("echo partial; exit 3"));
    auto e = run.to_exception();
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isa(Kinds::ProcessFailed::Error));
    EXPECT_EQ(e->get("error_code"), 3);
    EXPECT_EQ(e->get("stdout"), "partial\n");
    VX_EXPECT_THROW_KIND(run.die_if_error(), ::Vexlan::Exception::Kinds::ProcessFailed::Error);
    EXPECT_NE(run.autopsy()->find("/bin/sh -c echo partial; exit 3"), std::string::npos);
}

TEST_F(SafeRunObject, NoDescriptorOfTheCallerReachesTheChild) {
    int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    for (bool fork_path : {false, true}) {
        Object::force_fork_path(fork_path);
        Object run(sh("ls /proc/self/fd | sort -n | tr '\\n' ' '"));
        Object::force_fork_path(false);
        // 0, 1, 2 and the descriptor ls itself opens for the directory.
        EXPECT_EQ(run.stdout_text(), "0 1 2 3 ") << (fork_path ? "fork path" : "spawn path");
    }
    ::close(leaky);
}

TEST_F(SafeRunObject, TheChildGetsTheCleanedEnvironmentUnlessKeepEnv) {
    Vexlan::EnvGuard env;
    env.set("VEXLAN_TEST_SECRET", "s3cret");
    env.unset("TMP");
    Object clean(sh("echo \"$VEXLAN_TEST_SECRET|$HOME|$TMP\""));
    EXPECT_EQ(clean.stdout_text().substr(0, 1), "|");
    EXPECT_NE(clean.stdout_text().find("/tmp"), std::string::npos);
    Options o = sh("echo \"$VEXLAN_TEST_SECRET\"");
    o.keep_env = true;
    EXPECT_EQ(Object(std::move(o)).stdout_text(), "s3cret\n");
}

TEST_F(SafeRunObject, BeforeExecRunsInTheChildAndAfterForkInTheParent) {
    pid_t seen = 0;
    Options o = sh("echo \"$MARK\"");
    o.before_exec = [] { ::setenv("MARK", "in-child", 1); };
    o.after_fork = [&](pid_t pid) { seen = pid; };
    Object run(std::move(o));
    EXPECT_EQ(run.stdout_text(), "in-child\n");
    EXPECT_EQ(seen, run.child_pid());
    EXPECT_EQ(std::getenv("MARK"), nullptr);
}

TEST_F(SafeRunObject, TheCallersSignalDispositionAndErrnoAreRestored) {
    struct sigaction before {
    }, after{};
    ::signal(SIGCHLD, SIG_IGN);
    ::sigaction(SIGCHLD, nullptr, &before);
    errno = EBUSY;
    Object run(sh("true"));
    EXPECT_EQ(errno, EBUSY);
    ::sigaction(SIGCHLD, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_EQ(run.CHILD_ERROR(), 0);  // reaped despite the caller ignoring SIGCHLD
    ::signal(SIGCHLD, SIG_DFL);
}

TEST_F(SafeRunObject, ADirectDescriptorReceivesTheOutput) {
    testing_support::ScratchDir dir;
    int fd = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    Options o = sh("echo to-file");
    o.stdout_handle = Vexlan::SafeRun::OutputHandle{Vexlan::SafeRun::Fd{fd}};
    Object run(std::move(o));
    ::close(fd);
    EXPECT_FALSE(run.stdout_captured());
    EXPECT_EQ(testing_support::read_file(dir.file("out")), "to-file\n");
}

TEST(ReadMultipleFH, ZeroTimeOutsWaitWithoutLimitAndTargetsReceiveTheirData) {
    auto a = Vexlan::make_pipe();
    auto b = Vexlan::make_pipe();
    std::string target;
    [[maybe_unused]] auto n1 = ::write(a.write.get(), "alpha", 5);
    [[maybe_unused]] auto n2 = ::write(b.write.get(), "beta", 4);
    a.write.reset();
    b.write.reset();
    std::vector<Vexlan::ReadMultipleFH::Entry> entries = {
        {a.read.get(), Vexlan::ReadMultipleFH::Target{}},
        {b.read.get(), Vexlan::ReadMultipleFH::Target{&target}}};
    Vexlan::ReadMultipleFH reader(std::move(entries), 0.0, 0.0);
    EXPECT_TRUE(reader.did_finish());
    EXPECT_EQ(reader.timed_out(), 0);
    EXPECT_EQ(*reader.get_buffer(a.read.get()), "alpha");
    EXPECT_EQ(target, "beta");
}
