#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Output/Formatted.hpp"
#include "Output/Formatted/HTML.hpp"
#include "Output/Formatted/Terminal.hpp"
#include "Output/JsonLines.hpp"
#include "Output/Solarize.hpp"
#include "Output/TerminalCapabilities.hpp"
#include "Util/Guards.hpp"
#include "Util/Text.hpp"
#include "support/TestSupport.hpp"

using Vexlan::Output;

namespace {
// An output object writing into a scratch file, read back as text.
template <class T>
struct Captured {
    testing_support::ScratchDir dir;
    int fd = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    T out{Vexlan::OutputOptions{fd, nullptr}};
    ~Captured() { ::close(fd); }
    std::string text() { return testing_support::read_file(dir.file("out")); }
};
using Plain = Captured<Output::Formatted::Plain>;
}  // namespace

TEST(OutputFormatted, AMultiLineCompleteMessagePrintsEachLineIndentedAndEnded) {
    Plain c;
    c.out.increase_indent_level();
    c.out.out("a\nb\n");
    EXPECT_EQ(c.text(), "\ta\n\tb\n");
}

TEST(OutputFormatted, APartialMessageIsContinuedWithoutIndentation) {
    Plain c;
    c.out.increase_indent_level();
    c.out.out("Starting …", nullptr, Output::PARTIAL_MESSAGE);
    c.out.out("Done");
    c.out.out("next");
    EXPECT_EQ(c.text(), "\tStarting …Done\n\tnext\n");
}

TEST(OutputFormatted, AnEmptyMessagePrintsOneEmptyLine) {
    Plain c;
    c.out.out("");
    EXPECT_EQ(c.text(), "\n");
}

TEST(OutputFormatted, AfterAPartialMessageAMultiLineMessageEndsTheOpenLineFirst) {
    Plain c;
    c.out.increase_indent_level();
    c.out.out("go", nullptr, Output::PARTIAL_MESSAGE);
    c.out.out("x\ny");
    EXPECT_EQ(c.text(), "\tgox\ny\n");
}

TEST(OutputFormatted, AMessageSetIndentsItsLinesAndRestoresTheLevel) {
    Plain c;
    c.out.display_message_set("Status", "x\n\nwarning: y\nerror: z");
    EXPECT_EQ(c.text(), "=== Status ===\n\tx\n\twarning: y\n\terror: z\n\n");
    EXPECT_EQ(c.out.get_indent_level(), 0u);
}

TEST(OutputFormatted, TheIndentLevelIsRestoredWhenALineThrows) {
    struct Throwing : Output::Formatted::Plain {
        using Plain::Plain;
        void message(const std::string& kind, const nlohmann::json& c, const nlohmann::json& s, int p,
                     int pr) override {
            if (kind == "error") throw std::runtime_error("cannot write");
            Plain::message(kind, c, s, p, pr);
        }
    };
    testing_support::ScratchDir dir;
    int fd = ::open(dir.file("o").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    Throwing t(Vexlan::OutputOptions{fd, nullptr});
    EXPECT_THROW(t.display_message_set("S", "fine\nerror: bad"), std::runtime_error);
    EXPECT_EQ(t.get_indent_level(), 0u);
    ::close(fd);
}

TEST(OutputFormatted, ForeignLinesAreClassifiedByTheirWords) {
    EXPECT_EQ(Output::classify_line("log-error: /var/log/x"), "out");
    EXPECT_EQ(Output::classify_line("[Mon] E something"), "error");
    EXPECT_EQ(Output::classify_line("Warning: x"), "warn");
    EXPECT_EQ(Output::classify_line("warning: x"), "warn");
    EXPECT_EQ(Output::classify_line("ERROR: x"), "error");
    EXPECT_EQ(Output::classify_line("an err: here"), "error");
    EXPECT_EQ(Output::classify_line("my.err: here"), "out");
    EXPECT_EQ(Output::classify_line("host: bad user name"), "error");
    EXPECT_EQ(Output::classify_line("all good"), "out");
}

TEST(OutputFormatted, TheIndentNeverGoesBelowZero) {
    Plain c;
    EXPECT_EQ(c.out.decrease_indent_level(), 0u);
    EXPECT_EQ(c.out.get_indent_level(), 0u);
    {
        auto guard = c.out.create_indent_guard();
        EXPECT_EQ(c.out.get_indent_level(), 1u);
    }
    EXPECT_EQ(c.out.get_indent_level(), 0u);
}

TEST(OutputFormatted, TheJobPrefixHasFixedWidthsCountedInCharacters) {
    EXPECT_EQ(Output::Formatted::fixed_width("12", 6, true), "    12");
    EXPECT_EQ(Output::Formatted::fixed_width("ééééé", 3, false), "ééé");
    EXPECT_EQ(Output::Formatted::fixed_width("é", 3, false), "é  ");
    testing_support::ScratchDir dir;
    int fd = ::open(dir.file("o").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    Output::Formatted::Plain p(Vexlan::OutputOptions{
        fd,
        {{"pid", 42},
         {"contents",
          {{"queue", "q"}, {"child_number", 1}, {"item_name", "domain"}, {"item", "example.com"}}}}});
    p.out("hello");
    ::close(fd);
    EXPECT_EQ(testing_support::read_file(dir.file("o")), "[    42 q:1        d example.com     ] hello\n");
}

TEST(OutputBase, RecordsAreJsonBetweenMarkers) {
    Captured<Output> c;
    c.out.increase_indent_level();
    c.out.warn("w", nullptr, Output::PARTIAL_MESSAGE);
    std::string text = c.text();
    ASSERT_TRUE(text.starts_with("<VXOUT>"));
    auto json = nlohmann::json::parse(text.substr(7, text.find("</VXOUT>") - 7));
    EXPECT_EQ(json["type"], "warn");
    EXPECT_EQ(json["contents"], "w");
    EXPECT_EQ(json["indent"], 1);
    EXPECT_EQ(json["partial"], 1);
    EXPECT_EQ(json["pid"], ::getpid());
    EXPECT_EQ(Output::TO_JSON(), "Vexlan::Output object");
}

TEST(OutputJsonLines, EachMessageIsOneJsonLineAndBlankLinesAreDropped) {
    Captured<Vexlan::JsonLinesOutput> c;
    c.out.display_message_set("Service Status", "up\nline \"two\"\xff");
    c.out.write_record({{"type", "result"}, {"exit", 0}});
    std::vector<nlohmann::json> records;
    for (const auto& line : Vexlan::Text::lines(c.text())) records.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(records.size(), 4u) << c.text();
    EXPECT_EQ(records[0]["type"], "header");
    EXPECT_EQ(records[1]["contents"], "up");
    EXPECT_EQ(records[2]["indent"], 1);
    EXPECT_EQ(records[2]["contents"].get<std::string>().substr(0, 10), "line \"two\"")
        << "invalid UTF-8 replaced, not thrown";
    EXPECT_EQ(records[3]["type"], "result");
}

TEST(OutputHtml, TextIsEscaped) {
    Captured<Output::Formatted::HTML> c;
    c.out.error("<b>&\"x\"</b>");
    EXPECT_EQ(c.text(), "<span class=\"vx-bold-red\">&lt;b&gt;&amp;&quot;x&quot;&lt;/b&gt;</span><br />\n");
}

namespace {
// Runs `body` in a child whose standard input and output are a pseudo-terminal (when
// `tty_in`/`tty_out`) and returns what it wrote.
std::string in_terminal(bool tty_in, bool tty_out, const std::function<void()>& body) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master);
    ::unlockpt(master);
    std::string slave = ::ptsname(master);
    testing_support::ScratchDir dir;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        int s = ::open(slave.c_str(), O_RDWR);
        int null_in = ::open("/dev/null", O_RDONLY);
        int file = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
        ::dup2(tty_in ? s : null_in, 0);
        ::dup2(tty_out ? s : file, 1);
        body();
        ::_exit(0);
    }
    std::string out;
    char buf[4096];
    int status = 0;
    for (;;) {
        struct pollfd p {
            master, POLLIN, 0
        };
        if (::poll(&p, 1, 200) > 0) {
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                out.append(buf, static_cast<size_t>(n));
                continue;
            }
        }
        // Nothing more to read (or the terminal hung up): done once the child is.
        if (::waitpid(pid, &status, WNOHANG) == pid) break;
        ::usleep(10000);
    }
    ::close(master);
    return tty_out ? out : testing_support::read_file(dir.file("out"));
}

void print_error_in_colour() {
    ::setenv("TERM", "xterm-256color", 1);
    ::unsetenv("NO_COLOR");
    Vexlan::Terminal::clear_caches();
    Vexlan::Term::ANSIColor::Solarize::clear_caches();
    Output::Formatted::Terminal t(Vexlan::OutputOptions{1, nullptr});
    t.error("bad");
}
}  // namespace

TEST(OutputTerminal, ColourOnlyWhenStandardInputAndOutputAreTerminals) {
    EXPECT_NE(in_terminal(true, true, print_error_in_colour).find("\x1b["), std::string::npos);
    EXPECT_EQ(in_terminal(false, true, print_error_in_colour).find("\x1b["), std::string::npos);
    std::string redirected = in_terminal(true, false, print_error_in_colour);
    EXPECT_EQ(redirected, "bad\n");
    EXPECT_EQ(in_terminal(true, true,
                          [] {
                              ::setenv("NO_COLOR", "1", 1);
                              Vexlan::Terminal::clear_caches();
                              Output::Formatted::Terminal t(Vexlan::OutputOptions{1, nullptr});
                              t.error("bad");
                          })
                  .find("\x1b["),
              std::string::npos);
}

TEST(OutputTerminal, A256ColourNameWithoutInfocmpPicksThe256ColourPalette) {
    testing_support::ScratchDir empty;
    Vexlan::EnvGuard env;
    env.set("PATH", empty.path());  // no infocmp to be found
    env.set("TERM", "xterm-256color");
    Vexlan::Terminal::clear_caches();
    Vexlan::Term::ANSIColor::Solarize::clear_caches();
    EXPECT_EQ(Vexlan::Terminal::get_max_colors_for_terminal("xterm-256color"), 256);
    EXPECT_EQ(Vexlan::Term::ANSIColor::Solarize::palette_size(), 256);
    EXPECT_EQ(Vexlan::Term::ANSIColor::Solarize::escape_for("bold red"), "\x1b[1;38;5;160m");
    EXPECT_FALSE(Vexlan::Terminal::get_max_colors_for_terminal(""));
    Vexlan::Terminal::clear_caches();
    Vexlan::Term::ANSIColor::Solarize::clear_caches();
}

TEST(OutputTerminal, InfocmpAnswersForAKnownTerminal) {
    Vexlan::Terminal::clear_caches();
    VX_REQUIRE(::access("/usr/bin/infocmp", X_OK) == 0, "infocmp is not installed");
    EXPECT_EQ(Vexlan::Terminal::get_max_colors_for_terminal("vt100"), std::nullopt);
    EXPECT_EQ(Vexlan::Terminal::get_max_colors_for_terminal("xterm"), 8);
    EXPECT_EQ(Vexlan::Terminal::get_max_colors_for_terminal("xterm-256color"), 256)
        << "infocmp prints it as 0x100";
    Vexlan::Terminal::clear_caches();
}

TEST(OutputEscape, TextFromOutsideNeverReachesATerminalRaw) {
    struct Row {
        std::string in, out;
    };
    const std::vector<Row> rows = {
        {"plain text", "plain text"},
        {"\x1b]0;title\a\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {"a\\b\nc\td\x7f", "a\\\\b\\nc\\td\\x7f"},
        {"caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80"},  // UTF-8 stays
        {"\xc2\x9b" "31m", "\\u009b31m"},           // U+009B, the one-character CSI
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\u0080\\u009f\xc2\xa0"},  // the C1 block ends at U+009F
        {"\x9b" "31m", "\\x9b31m"},                 // a raw C1 byte is no UTF-8
        {"\xc3", "\\xc3"},                          // cut short
        {"\xc0\xaf", "\\xc0\\xaf"},                 // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},        // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
    };
    for (const auto& row : rows) EXPECT_EQ(Vexlan::Text::escape_control(row.in), row.out) << row.out;
    // Names in systemd's escapes stay the names they are; controls in them do not.
    EXPECT_EQ(Vexlan::Text::escape_control("tpl@a\\x2db\x1b", Vexlan::Text::Backslashes::Keep), "tpl@a\\x2db\\x1b");
}
