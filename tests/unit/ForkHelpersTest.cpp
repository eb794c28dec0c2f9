#include <gtest/gtest.h>
#include <sys/time.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "Exception/Exception.hpp"
#include "SafeRun/Alarm.hpp"
#include "SafeRun/Finally.hpp"
#include "SafeRun/ForkAsync.hpp"
#include "SafeRun/ForkSync.hpp"
#include "SafeRun/Setsid.hpp"
#include "support/TestSupport.hpp"
#include "Util/ExitRequest.hpp"
#include "Util/Guards.hpp"

namespace Kinds = Vexlan::Exception::Kinds;

using nlohmann::json;
using Vexlan::ForkSync;

TEST(ForkSync, ReturnsTheListTheChildCodeReturned) {
    ForkSync r([] { return json::array({1, 2, 3}); });
    EXPECT_EQ(r.return_value(), json::array({1, 2, 3}));
    EXPECT_FALSE(r.had_error());
    EXPECT_EQ(r.CHILD_ERROR(), 0);
    EXPECT_EQ(ForkSync::do_in_child([] { return json::array({1, 2, 3}); }), json(3));
    EXPECT_TRUE(testing_support::child_pids().empty());
}

TEST(ForkSync, PropagatesAStructuredErrorWithItsClassAndOsError) {
    auto r = ForkSync::new_quiet([]() -> json {
        throw Vexlan::Exception::create(Kinds::IO::FileOpenError, {{"path", "/nope"}, {"mode", "read"}, {"error", ENOENT}});
    });
    EXPECT_TRUE(r.had_error());
    EXPECT_NE(r.CHILD_ERROR().value_or(0), 0);
    EXPECT_EQ(r.error_code(), ENOENT);
    ASSERT_TRUE(r.structured_exception());
    EXPECT_EQ(r.structured_exception()->class_name(), "Vexlan::Exception::IO::FileOpenError");
    EXPECT_EQ(r.structured_exception()->get("path"), "/nope");
    EXPECT_EQ(r.structured_exception()->get("error")["number"], ENOENT);
    EXPECT_NE(r.exception()->find("/nope"), std::string::npos);
    EXPECT_TRUE(r.return_value().is_null());
}

TEST(ForkSync, APlainErrorBecomesItsTextAndExitCode127) {
    auto r = ForkSync::new_quiet([]() -> json {
        errno = 0;
        throw std::runtime_error("plain failure");
    });
    EXPECT_EQ(r.exception(), "plain failure");
    EXPECT_EQ(r.error_code(), Vexlan::ForkAsync::DEFAULT_ERROR_CODE);
    EXPECT_FALSE(r.structured_exception());
}

TEST(ForkSync, AValueTheEncoderCannotTakeArrivesFilteredToPlainData) {
    ForkSync r([] { return json::array({1, json(json::value_t::discarded), std::string("\xff ok")}); });
    EXPECT_FALSE(r.retrieve_error());
    ASSERT_TRUE(r.return_value().is_array());
    EXPECT_EQ(r.return_value()[0], 1);
    EXPECT_TRUE(r.return_value()[1].is_null());
    EXPECT_NE(r.return_value()[2].get<std::string>().find("ok"), std::string::npos);
}

TEST(ForkSync, AChildThatDiesWithoutAReportIsARetrievalError) {
    ForkSync r([]() -> json {
        ::kill(::getpid(), SIGKILL);
        return json::array();
    });
    EXPECT_TRUE(r.had_error());
    EXPECT_TRUE(r.retrieve_error());
    EXPECT_EQ(r.signal_code(), SIGKILL);
    EXPECT_FALSE(ForkSync::do_in_child_list([]() -> json { ::_exit(3); }));
    EXPECT_EQ(Vexlan::last_child_status() >> 8, 3);
}

TEST(ForkSync, TheParentCallbackRunsInTheParentBeforeTheReportIsRead) {
    pid_t seen = 0;
    auto r = ForkSync::new_with_parent_callback([&] { seen = ::getpid(); }, [] { return json::array({::getpid()}); });
    EXPECT_EQ(seen, ::getpid());
    EXPECT_EQ(r.return_value()[0], r.pid());
}

TEST(ForkAsync, AFailingChildReportsOnStderrAndExitsWithTheOsError) {
    testing_support::ScratchDir dir;
    pid_t pid = Vexlan::ForkAsync::do_in_child([&] {
        int fd = ::open(dir.file("err").c_str(), O_WRONLY | O_CREAT, 0600);
        ::dup2(fd, 2);
        throw Vexlan::Exception::create(Kinds::IO::FileOpenError, {{"path", "/x"}, {"mode", "r"}, {"error", EACCES}});
    });
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), EACCES);
    EXPECT_NE(testing_support::read_file(dir.file("err")).find("/x"), std::string::npos);
}

TEST(Setsid, KeepParentWaitsAndPassesOnTheFinalExitCode) {
    testing_support::ScratchDir dir;
    pid_t pid = Vexlan::Sys::Setsid::full_daemonize(true);
    if (pid == 0) {
        // The final process: a new session, not its leader.
        std::ofstream(dir.file("ids")) << ::getsid(0) << " " << ::getpid() << "\n";
        ::_exit(7);
    }
    EXPECT_GT(pid, 0);
    EXPECT_EQ(Vexlan::last_child_status() >> 8, 7);
    long sid = 0, self = 0;
    std::ifstream(dir.file("ids")) >> sid >> self;
    EXPECT_NE(sid, ::getsid(0));
    EXPECT_NE(sid, self);
    EXPECT_TRUE(testing_support::child_pids().empty());
}

TEST(Setsid, WithoutKeepParentTheCallerLeavesThroughTheOrderlyExit) {
    pid_t outer = ::fork();
    if (outer == 0) {
        try {
            if (Vexlan::Sys::Setsid::full_daemonize(false) == 0) ::_exit(0);  // detached process
        } catch (const Vexlan::ExitRequest& e) {
            ::_exit(e.status() == 0 ? 42 : 1);
        }
        ::_exit(2);
    }
    int status = 0;
    ::waitpid(outer, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 42);
}

namespace {
volatile sig_atomic_t g_alarms = 0;
void count_alarm(int) { g_alarms = g_alarms + 1; }
}  // namespace

TEST(Alarm, NestedAlarmRestoresTheOuterAlarmWithWhatItHadLeft) {
    ::signal(SIGALRM, count_alarm);
    ::alarm(10);
    {
        Vexlan::Alarm inner(2, count_alarm);
        ::sleep(1);
        EXPECT_LE(inner.get_remaining(), 2);
    }
    unsigned left = ::alarm(0);
    EXPECT_GE(left, 8u);
    EXPECT_LE(left, 9u);

    ::alarm(1);
    {
        Vexlan::Alarm inner(5);
        struct timespec t {1, 200000000};
        ::nanosleep(&t, nullptr);
    }
    left = ::alarm(0);
    EXPECT_EQ(left, 1u) << "an outer alarm that would have expired is re-armed with one second";

    // What the outer alarm had left is rounded up, never down: 3.6 s stays at least 3.6 s.
    struct itimerval outer {{0, 0}, {3, 600000}}, now {};
    ::setitimer(ITIMER_REAL, &outer, nullptr);
    { Vexlan::Alarm inner(1); }
    ::getitimer(ITIMER_REAL, &now);
    ::alarm(0);
    EXPECT_GE(now.it_value.tv_sec * 1000000 + now.it_value.tv_usec, 3500000) << now.it_value.tv_sec;
    ::signal(SIGALRM, SIG_DFL);
}

TEST(Alarm, AFractionalAlarmFiresAndTheHandlerIsRestored) {
    g_alarms = 0;
    struct sigaction before {};
    ::sigaction(SIGALRM, nullptr, &before);
    {
        Vexlan::Alarm a(0.2, count_alarm);
        struct timespec t {0, 400000000};
        while (::nanosleep(&t, &t) != 0) {
        }
    }
    EXPECT_EQ(g_alarms, 1);
    struct sigaction after {};
    ::sigaction(SIGALRM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST(Finally, RunsInTheCreatingProcessOnlyAndNotAfterSkip) {
    testing_support::ScratchDir dir;
    int runs = 0;
    {
        Vexlan::Finally f([&] { ++runs; });
        f.add([&] { ++runs; });
        pid_t pid = ::fork();
        if (pid == 0) {
            {
                Vexlan::Finally copy = std::move(f);
            }
            std::ofstream(dir.file("child")) << runs;
            ::_exit(0);
        }
        ::waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(testing_support::read_file(dir.file("child")), "0");
    {
        Vexlan::Finally f([&] { ++runs; });
        EXPECT_EQ(f.skip().size(), 1u);
    }
    EXPECT_EQ(runs, 2);
}

TEST(Finally, AFailingCallbackDoesNotStopTheOthers) {
    int runs = 0;
    {
        Vexlan::Finally f([] { throw std::runtime_error("first fails"); });
        f.add([&] { ++runs; });
    }
    EXPECT_EQ(runs, 1);
}
