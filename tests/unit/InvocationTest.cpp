// The service and action an invocation name stands for.
#include <gtest/gtest.h>

#include "Entry/Invocation.hpp"

using scripts::restartsrv_base::service_from_invocation;

namespace invocation_cases {
struct Case {
    const char* path;
    const char* action;  // nullptr: not one of the program's names
    const char* service;
};
constexpr Case kCases[] = {
    {"restartsrv_exim", "restartsrv_", "exim"},
    {"/usr/local/vexlan/scripts/restartsrv_php-fpm", "restartsrv_", "php-fpm"},
    {"./starthttpd", "start", "httpd"},
    {"/sbin/stopexim", "stop", "exim"},
    {"startstop", "start", "stop"},
    {"restartsrv_base", "restartsrv_", "base"},
    {"/opt/start/restartsrv_x", "restartsrv_", "x"},
    {"restartsrv_", nullptr, nullptr},
    {"start", nullptr, nullptr},
    {"bin/restartsrv_exim/", nullptr, nullptr},
    {"restartsrv_ex im", nullptr, nullptr},
    {"restartsrv_exim\n", nullptr, nullptr},
    {"restartsrv_exim;reboot", nullptr, nullptr},
    {"restartsrv_caf\xc3\xa9", nullptr, nullptr},
    {"xrestartsrv_exim", nullptr, nullptr},
    {"Startexim", nullptr, nullptr},
    {"", nullptr, nullptr},
};
}  // namespace invocation_cases

TEST(Invocation, NamesTheProgramAnswersToAndNothingElse) {
    for (const auto& c : invocation_cases::kCases) {
        auto got = service_from_invocation(c.path);
        if (!c.action) {
            EXPECT_FALSE(got) << "“" << c.path << "” is none of the program's names";
            continue;
        }
        ASSERT_TRUE(got) << c.path;
        EXPECT_EQ(got->action, c.action) << c.path;
        EXPECT_EQ(got->service, c.service) << c.path;
    }
}
