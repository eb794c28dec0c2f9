#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Exception/Exception.hpp"
#include "Output/Carp.hpp"
#include "Output/Debug.hpp"
#include "Output/Logger.hpp"
#include "Util/Paths.hpp"
#include "support/TestSupport.hpp"

using Vexlan::Logger;
using Vexlan::LoggerArgs;

namespace {
class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Vexlan::Paths::set_test_root(dir_.path());
        std::filesystem::create_directories(dir_.path() + "/usr/local/vexlan/logs");
        Logger::clear_singleton_stash();
        Logger::DISABLE_OUTPUT = false;
        Logger::ENABLE_BACKTRACE = false;
    }
    void TearDown() override {
        Vexlan::Paths::set_test_root("");
        Logger::clear_singleton_stash();
        Logger::ENABLE_BACKTRACE.reset();
        Logger::DISABLE_OUTPUT = false;
    }
    std::string log() { return testing_support::read_file(Vexlan::Paths::get(Vexlan::Paths::Key::ErrorLog)); }
    std::string panic_log() {
        return testing_support::read_file(Vexlan::Paths::get(Vexlan::Paths::Key::PanicLog));
    }
    // Runs `body` in a child with standard input and error redirected; returns stderr.
    std::string stderr_of(const std::function<void()>& body) {
        std::string path = dir_.file("stderr");
        pid_t pid = ::fork();
        if (pid == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int err = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(in, 0);
            ::dup2(err, 2);
            ::dup2(err, 1);
            body();
            ::_exit(0);
        }
        ::waitpid(pid, nullptr, 0);
        return testing_support::read_file(path);
    }
    testing_support::ScratchDir dir_;
};
}  // namespace

TEST_F(LoggerTest, ObjectsAreSharedPerArgumentSignatureUnlessAskedNotTo) {
    auto a = Logger::create();
    auto b = Logger::create();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->cloned(), 1u);
    LoggerArgs pid_args;
    pid_args.log_pid = true;
    EXPECT_NE(Logger::create(pid_args), a);
    LoggerArgs fresh;
    fresh.no_load_from_cache = true;
    EXPECT_NE(Logger::create(fresh), Logger::create(fresh));
    LoggerArgs bad;
    bad.open_now = true;
    bad.use_no_files = true;
    VX_EXPECT_THROW_KIND(Logger::create(bad), ::Vexlan::Exception::Kinds::InvalidParameter);
}

TEST_F(LoggerTest, LinesCarryTheLocalTimeStampLevelAndProgram) {
    Logger::create()->info("hello");
    std::string line = log();
    EXPECT_TRUE(line.starts_with("[20")) << line;
    EXPECT_NE(line.find(" +0") == std::string::npos ? line.find(" -") : line.find(" +0"), std::string::npos);
    EXPECT_NE(line.find("] info [" + Logger::find_progname() + "] hello\n"), std::string::npos) << line;
    // A message of several lines is still one entry: a reader who finds its identifier by
    // grep finds all of it, and no line of the log goes without a time stamp.
    Logger::create()->error("(XID abc123) failed to start.\nits main process exited, status=1.\n");
    const std::string all = log();
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2) << all;
    EXPECT_NE(all.find("] error [" + Logger::find_progname() +
                       "] (XID abc123) failed to start. | its main process exited, status=1.\n"),
              std::string::npos)
        << all;
}

TEST_F(LoggerTest, TheLogFileIsCreatedWithMode0600WhateverTheUmask) {
    mode_t old = ::umask(0);
    Logger::create()->info("x");
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(Vexlan::Paths::get(Vexlan::Paths::Key::ErrorLog).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(LoggerTest, WarnMirrorsToStderrOnlyWithATerminal) {
    std::string err = stderr_of([] { Logger::create()->warn("no tty"); });
    EXPECT_EQ(err, "");
    EXPECT_NE(log().find("warn ["), std::string::npos);
    LoggerArgs args;
    args.use_stdout = true;
    std::string out = stderr_of([&] { Logger::create(args)->info("to stdout"); });
    EXPECT_NE(out.find("info ["), std::string::npos);
    EXPECT_EQ(stderr_of([] { Logger::create()->info("quiet without a terminal"); }), "");
}

TEST_F(LoggerTest, PanicWritesBothLogsThenRaises) {
    std::string err = stderr_of([] {
        try {
            Logger::create()->panic("the sky fell");
        } catch (const Vexlan::Exception::Base& e) {
            if (e.to_string().find("the sky fell") != std::string::npos) ::_exit(0);
        }
        ::_exit(1);
    });
    EXPECT_NE(log().find("panic ["), std::string::npos);
    EXPECT_NE(panic_log().find("the sky fell"), std::string::npos);
    struct stat st {};
    ::stat(Vexlan::Paths::get(Vexlan::Paths::Key::PanicLog).c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(err.find("the sky fell"), std::string::npos);
}

TEST_F(LoggerTest, RawHasNoStampAndDisableOutputSilencesTheStreams) {
    Logger::create()->raw("just this\n");
    EXPECT_EQ(log(), "just this\n");
    Logger::DISABLE_OUTPUT = true;
    std::string err = stderr_of([] {
        Logger::Record r;
        r.message = "x";
        r.level = "warn";
        r.output = 3;
        Logger::create()->logger(r);
    });
    EXPECT_EQ(err, "");
    EXPECT_NE(log().find("warn ["), std::string::npos);
}

TEST_F(LoggerTest, DebugNeedsTheDebugLevelOrForce) {
    EXPECT_FALSE(Logger::create()->debug("invisible"));
    Logger::DebugConfig force;
    force.force = true;
    force.output = 0;
    auto r = Logger::create()->debug("42", force);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->message, "«42»");
    Vexlan::Debug::debug_level(1);
    EXPECT_TRUE(Logger::create()->debug("visible", force));
    Vexlan::Debug::debug_level(0);
    EXPECT_NE(log().find("visible"), std::string::npos);
}

TEST_F(LoggerTest, FindProgname) {
    EXPECT_EQ(Logger::progname_from("/usr/local/vexlan/scripts/restartsrv_exim.pl --check"),
              "restartsrv_exim");
    EXPECT_EQ(Logger::progname_from("restartsrv_httpd"), "restartsrv_httpd");
    EXPECT_EQ(Logger::progname_from("stopexim --now"), "stopexim");
}

TEST_F(LoggerTest, LinesFromAParentAndAForkedChildNeverInterleave) {
    auto logger = Logger::create();
    const std::string body(3000, 'x');
    pid_t pid = ::fork();
    for (int i = 0; i < 200; ++i) logger->info((pid == 0 ? "child " : "parent ") + body);
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    std::istringstream lines(log());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(
            line.ends_with((line.find("] child ") != std::string::npos ? "child " : "parent ") + body))
            << line.substr(0, 80);
    }
    EXPECT_EQ(count, 400);
}

TEST_F(LoggerTest, SandboxAndSmokerMarkers) {
    EXPECT_FALSE(Logger::is_sandbox());
    EXPECT_FALSE(Logger::is_smoker());
}

TEST(Carp, SafeLongmessMasksFramesThatNameSecrets) {
    std::string text = Vexlan::Carp::safe_longmess("msg");
    EXPECT_TRUE(text.starts_with("msg\n"));
    EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 2);
}
