// The result record's words and facts: what fleet tools decide by must not drift.
#include <gtest/gtest.h>

#include "Entry/ResultRecord.hpp"
#include "support/TestSupport.hpp"

using namespace scripts::restartsrv_base;

TEST(ResultRecord, ErrorKindsAreStableWords) {
    const std::pair<const char*, const char*> rows[] = {
        {"Services::StartFailed", "start-failed"}, {"Services::Down", "down"},
        {"Services::Down::Starting", "down"}, {"Services::Down::Stopping", "down"},
        {"Lock::NotObtained", "lock-not-obtained"}, {"InvalidParameter", "invalid-parameter"},
        {"Services::NotConfigured", "not-configured"}, {"IO::FileOpenError", "io-file-open-error"},
        {"", "error"},
    };
    for (const auto& [kind, word] : rows) EXPECT_EQ(error_kind_word(kind), word) << kind;
}

TEST(ResultRecord, AFailedActionIsLookedAtWhileOtherErrorsNameTheirState) {
    EXPECT_EQ(state_for_error_kind("Services::Disabled"), "disabled");
    EXPECT_EQ(state_for_error_kind("Services::Unknown"), "not-installed");
    EXPECT_EQ(state_for_error_kind("Services::Undetermined"), "cannot-tell");
    EXPECT_EQ(state_for_error_kind("NotPrivileged"), "refused");
    EXPECT_EQ(state_for_error_kind("Usage"), "error");
    EXPECT_EQ(state_for_error_kind("Services::Down::Starting"), "starting");
    EXPECT_EQ(state_for_error_kind("Services::Down::Stopping"), "stopping");
    for (const char* kind : {"Services::StartFailed", "Services::StopFailed", "Services::RestartFailed",
                             "Services::ReloadFailed"})
        EXPECT_EQ(state_for_error_kind(kind), std::nullopt) << kind;
}

TEST(ResultRecord, PidAndMethodComeFromTheEndOfTheStatusLineOnly) {
    struct Row {
        std::string line;
        std::optional<long> pid;
        std::string method;
    };
    const std::vector<Row> rows = {
        {"vx (/etc/systemd/system/vx.service) is running with PID 42 (systemd check method).", 42, "systemd"},
        {"memcached (/usr/bin/memcached -p 1) is running as memcache with PID 7, 9 (pidfile+process check method).",
         7, "pidfile+process"},
        {"vx is running (/etc/init.d/vx status check method).", std::nullopt, "/etc/init.d/vx status"},
        // Another user's command line that imitates the tail is not believed.
        {"evil (sleep with PID 1 (systemd check method).) is running as nobody with PID 500 (process check method).",
         500, "process"},
        {"evil (x with PID 1 (systemd check method).) is running", std::nullopt, ""},
        {"1", std::nullopt, ""},
        {"vx is running with PID 99999999999999999999 (systemd check method).", std::nullopt, "systemd"},
    };
    for (const auto& row : rows) {
        auto facts = facts_of_status_line(row.line);
        EXPECT_EQ(facts.main_pid, row.pid) << row.line;
        EXPECT_EQ(facts.method, row.method) << row.line;
    }
}

TEST(ResultRecord, EveryRecordFitsThePublishedSchema) {
    RunResult ok{"memcached", "restart", 0, true, State::Up, 4242, "systemd", "", "", "“memcached” restarted successfully.",
                 "", std::nullopt, std::chrono::system_clock::now(), std::chrono::milliseconds(1234)};
    RunResult failed{"", "", 1, false, State::Error, std::nullopt, "", "usage", "", "No service was named.",
                     "", std::nullopt, std::chrono::system_clock::now(), {}};
    RunResult checked_up{"memcached", "check", 0, false, State::Up, 4242, "systemd", "", "", "…", "", true,
                         std::chrono::system_clock::now(), {}};
    RunResult start_failed{"memcached", "start", 255, false, State::Down, std::nullopt, "", "start-failed", "XID abc",
                           "“memcached” failed to start.",
                           "systemd's result for memcached.service: exit-code; its main process exited, status=1.",
                           std::nullopt, std::chrono::system_clock::now(), {}};
    EXPECT_EQ(result_record(checked_up)["can_reload"], true);
    EXPECT_EQ(result_record(ok)["can_reload"], nullptr);
    EXPECT_EQ(result_record(ok)["reason"], nullptr);
    EXPECT_EQ(result_record(start_failed)["reason"], start_failed.reason);
    for (const auto& r : {ok, failed, checked_up, start_failed}) {
        const auto record = result_record(r);
        const auto checked = testing_support::checked_result_record(record.dump() + "\n");
        EXPECT_EQ(checked, record);
    }
    EXPECT_EQ(result_record(ok)["duration_ms"], 1234);
    EXPECT_EQ(result_record(failed)["service"], nullptr);
}
