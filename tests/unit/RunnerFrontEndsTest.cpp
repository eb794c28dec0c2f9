#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "Exception/Exception.hpp"
#include "SafeRun/Extra.hpp"
#include "SafeRun/IOCallbackWriteLine.hpp"
#include "SafeRun/Simple.hpp"
#include "Util/Env.hpp"
#include "Util/Guards.hpp"
#include "support/TestSupport.hpp"

namespace Simple = Vexlan::SafeRun::Simple;
namespace Errors = Vexlan::SafeRun::Errors;

TEST(SafeRunSimple, TheFourStandardErrorModes) {
    const Simple::Command cmd = {"/bin/sh", "-c", "echo out; echo err >&2"};
    EXPECT_EQ(Simple::saferunnoerror(cmd), "out\n");
    std::string merged = Simple::saferunallerrors(cmd).value_or("");
    EXPECT_NE(merged.find("out\n"), std::string::npos);
    EXPECT_NE(merged.find("err\n"), std::string::npos);
    EXPECT_EQ(Simple::saferunonlyerrors(cmd), "err\n");
    EXPECT_EQ(*Simple::saferun_r({"/bin/echo", "ref"}), "ref\n");
    EXPECT_TRUE(testing_support::child_pids().empty());
}

TEST(SafeRunSimple, TheStatusIsLeftInTheLastChildStatus) {
    Simple::saferun({"/bin/sh", "-c", "exit 4"});
    EXPECT_EQ(Vexlan::last_child_status() >> 8, 4);
    EXPECT_FALSE(Simple::saferun({"/no/such/program"}));
    EXPECT_EQ(Vexlan::last_child_status(), -1);
}

TEST(SafeRunSimple, TheCommandGetsDefaultSignalsWhateverTheCallerBlocksOrIgnores) {
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::sigprocmask(SIG_BLOCK, &usr1, &old);
    Vexlan::SignalDispositionGuard ignore_term(SIGTERM, SIG_IGN);
    auto out = Vexlan::SafeRun::Simple::saferun({"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"});
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    // Signals 32 and 33 belong to the C library and cannot be set by a program.
    const unsigned long long usable = ~0x180000000ULL;
    auto mask = [&](const std::string& name) {
        auto at = out.value_or("").find(name + ":\t");
        return at == std::string::npos ? ~0ULL
                                       : std::stoull(out->substr(at + name.size() + 2, 16), nullptr, 16);
    };
    EXPECT_EQ(mask("SigBlk") & usable, 0u) << *out;
    EXPECT_EQ(mask("SigIgn") & usable, 0u) << *out;
}

TEST(SafeRunSimple, AWholeCommandLineInOneWordIsRefused) {
    VX_EXPECT_THROW_KIND(Simple::saferun({"ls -l /"}), ::Vexlan::Exception::Kinds::InvalidParameter);
    VX_EXPECT_THROW_KIND(Simple::saferun({"true;rm -rf /"}), ::Vexlan::Exception::Kinds::InvalidParameter);
}

TEST(SafeRunErrors, TheListFormDropsTrailingEmptyLines) {
    auto lines = Errors::saferunnoerror_lines({"/usr/bin/printf", "a\\nb\\n\\n"});
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Errors::split_lines(""), std::vector<std::string>{});
}

TEST(SafeRunExtra, ABufferGetsTheNonEmptyLinesOfBothStreams) {
    std::string buffer;
    Vexlan::SafeRun::ExtraOptions o;
    o.base.program = "/bin/sh";
    o.base.args = {"-c", "echo one; sleep 0.1; echo two >&2; sleep 0.1; printf 'three'"};
    o.buffer = &buffer;
    auto run = Vexlan::SafeRun::Extra::run(std::move(o));
    EXPECT_EQ(buffer, "one\ntwo\nthree");
    EXPECT_EQ(run.CHILD_ERROR(), 0);
}

TEST(SafeRunExtra, EnvsPassesNamedVariablesThroughTheCleanedEnvironment) {
    Vexlan::EnvGuard env;
    env.set("VEXLAN_PASS_ME", "yes");
    env.set("VEXLAN_NOT_ME", "no");
    Vexlan::SafeRun::ExtraOptions o;
    o.base.program = "/bin/sh";
    o.base.args = {"-c", "echo \"$VEXLAN_PASS_ME $VEXLAN_NOT_ME $GIVEN\""};
    o.envs = std::vector<std::string>{"VEXLAN_PASS_ME"};
    EXPECT_EQ(Vexlan::SafeRun::Extra::run(o).stdout_text(), "yes  \n");
    o.envs = std::map<std::string, std::string>{{"GIVEN", "given"}};
    EXPECT_EQ(Vexlan::SafeRun::Extra::run(o).stdout_text(), "  given\n");
}

TEST(SafeRunExtra, TheMistakenEnvOptionAndHandlesWithHooksAreRefused) {
    Vexlan::SafeRun::ExtraOptions o;
    o.base.program = "/bin/true";
    o.env = true;
    VX_EXPECT_THROW_KIND(Vexlan::SafeRun::Extra::run(o), ::Vexlan::Exception::Kinds::InvalidParameter);
    std::string buf;
    Vexlan::SafeRun::ExtraOptions p;
    p.base.program = "/bin/true";
    p.stdout_buffer = &buf;
    p.base.stdout_handle = Vexlan::SafeRun::OutputHandle{Vexlan::SafeRun::Fd{1}};
    VX_EXPECT_THROW_KIND(Vexlan::SafeRun::Extra::run(p), ::Vexlan::Exception::Kinds::InvalidParameter);
}

TEST(IOCallbackWriteLine, DeliversCompleteLinesAndThePartialOneOnlyOnClear) {
    std::vector<std::string> lines;
    Vexlan::IOCallbackWriteLine sink([&](const std::string& l) { lines.push_back(l); });
    sink.write("a");
    sink.write("b\nc");
    EXPECT_EQ(lines, (std::vector<std::string>{"ab\n"}));
    sink.write("\n");
    sink.write("d");
    EXPECT_EQ(lines, (std::vector<std::string>{"ab\n", "c\n"}));
    sink.clear();
    EXPECT_EQ(lines, (std::vector<std::string>{"ab\n", "c\n", "d"}));
}

TEST(IOCallbackWrite, WriteClampsLengthAndAcceptsOffsetsFromTheEnd) {
    std::string got;
    Vexlan::IOCallbackWrite w([&](std::string_view s) { got += s; });
    EXPECT_EQ(w.write("abcdef", 100, 4), 2u);
    EXPECT_EQ(got, "ef");
    EXPECT_EQ(w.write("abcdef", 2, -3), 2u);
    EXPECT_EQ(got, "efde");
    VX_EXPECT_THROW_KIND(w.write("abc", -1, 0), ::Vexlan::Exception::Kinds::InvalidParameter);
    VX_EXPECT_THROW_KIND(w.write("abc", 1, 7), ::Vexlan::Exception::Kinds::InvalidParameter);
    w.output_field_separator = ",";
    w.output_record_separator = "\n";
    w.print({"x", "y"});
    w.printf("%d-%s", 7, "z");
    EXPECT_EQ(got, "efdex,y\n7-z");
    EXPECT_EQ(w.fileno(), -1);
}

TEST(CleanEnv, KeepsTheSafeAndTheNamedRemovesTheRest) {
    // The whole environment is the subject here: saved entire and put back.
    std::vector<std::string> saved;
    for (char** e = environ; *e; ++e) saved.emplace_back(*e);
    ::setenv("VEXLAN_KEEP_ME", "1", 1);
    ::setenv("VEXLAN_DROP_ME", "1", 1);
    ::setenv("TMP", "/tmp", 1);
    ::setenv("HTTP_PROXY", "http://proxy", 1);
    ::setenv("PATH_NOT_PATH", "x", 1);
    Vexlan::Env::clean_env({"VEXLAN_KEEP_ME", "TMP"}, {"TMP"}, true);
    std::vector<std::string> names;
    for (char** e = environ; *e; ++e) names.emplace_back(std::string_view(*e).substr(0, std::string_view(*e).find('=')));
    const auto& safe = Vexlan::Env::get_safe_env_vars();
    for (const auto& n : names)
        EXPECT_TRUE(n == "VEXLAN_KEEP_ME" || std::find(safe.begin(), safe.end(), n) != safe.end()) << n << " survived";
    EXPECT_NE(std::getenv("VEXLAN_KEEP_ME"), nullptr);
    EXPECT_EQ(std::getenv("TMP"), nullptr) << "removal wins over keeping and over the safe list";
    EXPECT_EQ(std::getenv("VEXLAN_DROP_ME"), nullptr);
    EXPECT_EQ(std::getenv("HTTP_PROXY"), nullptr);
    EXPECT_EQ(std::getenv("PATH_NOT_PATH"), nullptr) << "a name is matched whole, not by its prefix";
    ::clearenv();
    for (const auto& entry : saved) {
        auto eq = entry.find('=');
        ::setenv(entry.substr(0, eq).c_str(), eq == std::string::npos ? "" : entry.c_str() + eq + 1, 1);
    }
}
