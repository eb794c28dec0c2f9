// The checked reader of numbers from outside text.
#include <gtest/gtest.h>

#include "Util/Number.hpp"

namespace Number = Vexlan::Number;

TEST(Number, OnlyWholeDigitTextsInRangeAreNumbers) {
    EXPECT_EQ(Number::parse<int>("42"), 42);
    EXPECT_EQ(Number::parse<int>("-7"), -7);
    for (const char* junk : {"", "-", "+1", " 1", "1 ", "1x", "0x10", "99999999999999999999", "1e3", "١"})
        EXPECT_FALSE(Number::parse<int>(junk)) << "[" << junk << "]";
    EXPECT_FALSE(Number::parse<unsigned>("-1"));
    EXPECT_FALSE(Number::parse<int>("11", 0, 10));
    EXPECT_EQ(Number::parse<int>("ff", 0, 255, 16), 255);
    EXPECT_EQ(Number::parse_trimmed<int>(" \t12\r\n"), 12);
}

TEST(Number, APidIsBetweenTwoAndPidMax) {
    EXPECT_FALSE(Number::parse_pid("0"));
    EXPECT_FALSE(Number::parse_pid("1"));
    EXPECT_EQ(Number::parse_pid("2"), 2);
    EXPECT_FALSE(Number::parse_pid(std::to_string(static_cast<long>(Number::pid_max()) + 1)));
    // The values that wrap around to -1, 0 and 1 as a 32-bit pid.
    for (const char* wraps : {"4294967295", "4294967296", "4294967297"}) EXPECT_FALSE(Number::parse_pid(wraps)) << wraps;
    EXPECT_EQ(Number::pid_from_pidfile_text("  1234 \nextra lines\n"), 1234);
    EXPECT_FALSE(Number::pid_from_pidfile_text("1234garbage\n"));
    EXPECT_FALSE(Number::pid_from_pidfile_text("\n1234\n"));
    // No pidfile names the kernel's scheduler or init: neither ever reaches an identity check.
    for (const char* refused : {"0\n", "1\n", " 1 \n", "00\n", "01\n", "-1\n", "1\n1234\n"})
        EXPECT_FALSE(Number::pid_from_pidfile_text(refused)) << "[" << refused << "]";
}
