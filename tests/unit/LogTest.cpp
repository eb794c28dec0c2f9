// Reading the ends of log files and picking out a service's lines.
#include <gtest/gtest.h>

#include <filesystem>

#include "RestartSrv/LoggedStartup.hpp"
#include "Services/Log/Log.hpp"
#include "support/ScratchRoot.hpp"
#include "Util/Paths.hpp"

namespace Log = Vexlan::Services::Log;
using namespace testing_support;

namespace {
class LogTest : public ScratchRootTest {
protected:
    void SetUp() override {
        ScratchRootTest::SetUp();
        std::filesystem::create_directories(Log::LOG_DIR());
    }
    std::string read(const std::string& file, size_t max = Log::MAX_LOG_MESSAGES, const std::string& re = ".") {
        std::string text;
        Log::ReadError error;
        EXPECT_TRUE(Log::_read_log(text, root_.file(file), file, Log::LOG_READ_BYTES, max, re, &error)) << error.error;
        return text;
    }
};
}  // namespace

TEST_F(LogTest, OnlyTheEndOfALogIsReadAndItsFragmentDropped) {
    write_file(root_.file("small"), "first\nsecond\n");
    EXPECT_EQ(read("small"), "second\nfirst") << "newest first, the first line included";
    std::string big;
    for (int i = 0; big.size() < 100000; ++i) big += "line " + std::to_string(i) + " of a long log\n";
    write_file(root_.file("big"), big);
    std::string tail = read("big", 100000);
    EXPECT_LE(tail.size(), Log::LOG_READ_BYTES);
    EXPECT_EQ(tail.substr(0, tail.find('\n')), big.substr(big.rfind('\n', big.size() - 2) + 1, big.size() - big.rfind('\n', big.size() - 2) - 2));
    const std::string oldest = tail.substr(tail.rfind('\n') + 1);
    EXPECT_EQ(oldest.substr(0, 5), "line ") << "no partial line: " << oldest;
}

TEST_F(LogTest, TheLineLimitComesBeforeTheFilter) {
    write_file(root_.file("mixed"), "vxd[1]: old\nother\nvxd[2]: one\nother\nother\nvxd[3]: two\nother\n");
    EXPECT_EQ(read("mixed", 5, "vxd\\["), "vxd[3]: two\nvxd[2]: one");
    std::string text;
    write_file(root_.file("empty"), "");
    EXPECT_FALSE(Log::_read_log(text, root_.file("empty"), "empty", 8192, 5, ".", nullptr));
}

TEST_F(LogTest, ServiceLinesFromTheSystemLogsAndTheStartupLog) {
    write_file(Log::LOG_DIR() + "/syslog", "Dec 1 h vxd[10]: started\nDec 1 h other[2]: x\nDec 1 h exim[3]: queue\n");
    auto [ok, text] = Log::fetch_service_log_messages("vxd|exim", "vxd");
    EXPECT_TRUE(ok) << text;
    EXPECT_EQ(text, "Dec 1 h exim[3]: queue\nDec 1 h vxd[10]: started");
    std::filesystem::remove(Log::LOG_DIR() + "/syslog");
    auto [none, why] = Log::fetch_service_log_messages("vxd", "vxd");
    EXPECT_FALSE(none) << "no log could be read";
    EXPECT_NE(why.find("syslog"), std::string::npos) << why;

    std::string warnings;
    for (int i = 0; warnings.size() < 9000; ++i) warnings += "Warning: noise " + std::to_string(i) + "\n[x] [warn] more noise\nreal line\n";
    Vexlan::RestartSrv::append_to_startup_log("httpd", warnings);
    auto [read, cleaned] = Log::fetch_service_startup_log("httpd", std::nullopt);
    EXPECT_TRUE(read);
    EXPECT_EQ(cleaned.find("Warning"), std::string::npos);
    EXPECT_EQ(cleaned.find("[warn]"), std::string::npos);
    EXPECT_NE(cleaned.find("real line"), std::string::npos);
}

TEST_F(LogTest, AHugeStartupLogShowsOnlyItsLastWholeLines) {
    struct Row {
        std::string text;
        size_t count;
        bool cut;
        std::string tail;
    };
    const std::vector<Row> rows = {
        {"a\nb\nc\n", 2, false, "b\nc\n"},
        {"a\nb\nc", 5, false, "a\nb\nc"},
        {"half\nb\nc\n", 5, true, "b\nc\n"},
        {"no newline at all", 3, true, ""},
        {"", 3, false, ""},
    };
    for (const auto& row : rows) EXPECT_EQ(Log::last_lines(row.text, row.count, row.cut), row.tail) << row.text;

    // A daemon that wrote 8 MB of NUL bytes and then why it stopped.
    std::string flood(8 << 20, '\0');
    flood += "\nport 80 is in use\n";
    Vexlan::RestartSrv::append_to_startup_log("vxflood", flood);
    auto [read, text] = Log::fetch_service_startup_log("vxflood", std::nullopt);
    EXPECT_TRUE(read);
    EXPECT_LE(text.size(), 2 * Log::STARTUP_LOG_LINE_BYTES) << "escaped, and its endless line cut";
    EXPECT_NE(text.find("port 80 is in use"), std::string::npos);
    EXPECT_NE(text.find("its last lines"), std::string::npos) << "says it is cut";
}
