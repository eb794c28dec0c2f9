// The start verdict as a decision table: one row per kind of evidence.
#include <gtest/gtest.h>

#include "ServiceManager/StartVerdict.hpp"

using Vexlan::ServiceManager::judge_start;
using Vexlan::ServiceManager::start_state_name;
using Vexlan::ServiceManager::StartEvidence;
using Vexlan::ServiceManager::StartState;

namespace {
struct Row {
    const char* what;
    bool up;
    const char* active;
    const char* type;
    const char* result;
    std::optional<double> main_age;
    double since_started;
    bool script_stopped;
    StartState want;
};
}  // namespace

TEST(StartVerdict, EveryKindOfEvidenceHasItsVerdict) {
    constexpr double window = 1.0;
    const auto P = StartState::Pending, C = StartState::Confirmed, F = StartState::Failed;
    const Row rows[] = {
        {"failed unit, whatever the status says", true, "failed", "simple", "exit-code", 5.0, 5, false, F},
        {"simple unit, main process young", true, "active", "simple", "success", 0.3, 0.3, false, P},
        {"simple unit, main process past the window", true, "active", "simple", "success", 1.2, 1.2, false,
         C},
        {"restarted by systemd: the new main process is young", true, "active", "simple", "success", 0.1, 3,
         false, P},
        {"forking unit without a main pid: the start's age", true, "active", "forking", "success",
         std::nullopt, 0.4, false, P},
        {"forking unit without a main pid, past the window", true, "active", "forking", "success",
         std::nullopt, 1.0, false, C},
        {"notify unit up in /proc but not yet ready", true, "activating", "notify", "success", 2.0, 2, false,
         P},
        {"reloading counts as active", true, "reloading", "simple", "success", 2.0, 2, false, C},
        {"died after its start: inactive", false, "inactive", "simple", "exit-code", std::nullopt, 0.6, false,
         F},
        {"not up yet, unit still starting", false, "activating", "forking", "success", std::nullopt, 0.2,
         false, P},
        {"active without any daemon, just after the start", false, "active", "forking", "success",
         std::nullopt, 1, false, P},
        {"active without any daemon, long after the start", false, "active", "forking", "success",
         std::nullopt, 6, false, F},
        {"oneshot that remains after its exit", false, "active", "oneshot", "success", std::nullopt, 0, false,
         C},
        {"oneshot that ran to completion", false, "inactive", "oneshot", "success", std::nullopt, 0, false,
         C},
        {"oneshot that failed", false, "inactive", "oneshot", "exit-code", std::nullopt, 0, false, F},
        {"oneshot still running", false, "activating", "oneshot", "success", std::nullopt, 0, false, P},
        {"init script: daemon young", true, "", "", "", std::nullopt, 0.5, false, P},
        {"init script: daemon past the window", true, "", "", "", std::nullopt, 1.5, false, C},
        {"init script: not up, the script says stopped", false, "", "", "", std::nullopt, 6, true, F},
        {"init script: not up yet", false, "", "", "", std::nullopt, 6, false, P},
    };
    for (const auto& r : rows) {
        StartEvidence e;
        e.status_up = r.up;
        e.active_state = r.active;
        e.type = r.type;
        e.result = r.result;
        e.main_age = r.main_age;
        e.since_started = r.since_started;
        e.script_says_stopped = r.script_stopped;
        EXPECT_EQ(start_state_name(judge_start(e, window)), std::string(start_state_name(r.want))) << r.what;
        // Whatever else it shows, a unit systemd restarted by itself since the start failed it.
        e.restarted_by_systemd = true;
        EXPECT_EQ(judge_start(e, window), StartState::Failed) << "restarted by systemd: " << r.what;
    }
}

TEST(StartVerdict, TheWindowIsTheCallersToSet) {
    StartEvidence e;
    e.status_up = true;
    e.active_state = "active";
    e.main_age = 0.7;
    EXPECT_EQ(judge_start(e, 0.5), StartState::Confirmed);
    EXPECT_EQ(judge_start(e, 3.0), StartState::Pending);
}
