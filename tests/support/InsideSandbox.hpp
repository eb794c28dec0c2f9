#pragma once
// Runs a test's body inside a real systemd sandbox: the test process boots the sandbox and
// runs this very test again in every namespace of it, where systemd's answers, pids and
// files are the ones the program sees on a systemd host.
//
//   TEST(X, Y) {
//       VX_RUN_INSIDE_SANDBOX();
//       ... the body, run inside ...
//   }
#include <gtest/gtest.h>

#include <string>

namespace testing_support {

bool inside_sandbox();
void run_this_test_inside_sandbox();

// Helpers for bodies that run inside: a unit in the sandbox's unit directory (systemd
// reloaded), and a shell command's exit status.
void install_unit_here(const std::string& name, const std::string& content);
int sh(const std::string& command);
// `systemctl show -p <property> --value <unit>`.
std::string show_here(const std::string& unit, const std::string& property);

}  // namespace testing_support

#define VX_RUN_INSIDE_SANDBOX()                                     \
    do {                                                            \
        if (!::testing_support::inside_sandbox()) {                 \
            ::testing_support::run_this_test_inside_sandbox();      \
            return;                                                 \
        }                                                           \
    } while (0)
