// The real program, run under its service names in a private mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "Util/Text.hpp"
#include "Util/Time.hpp"
#include "support/ProcessHelpers.hpp"
#include "support/TestSupport.hpp"

using testing_support::ProgramRoot;

namespace {
class Entry : public ::testing::Test {
  protected:
    void SetUp() override {
        VX_REQUIRE(testing_support::can_unshare(),
                   "needs root and mount namespaces to run the program in a private root");
    }
    void init_script(const std::string& name, const std::string& body) { root_.init_script(name, body); }
    bool lock_is_free(const std::string& service) { return root_.lock_is_free(service); }
    ProgramRoot root_;
};
}  // namespace

TEST_F(Entry, TheServiceNameComesFromTheInvocationName) {
    auto r = root_.run("restartsrv_httpd", {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: restartsrv_httpd"), std::string::npos) << r.out;
    auto base = root_.run("restartsrv_base", {"exim", "--help"});
    EXPECT_NE(base.out.find("Usage: restartsrv_exim"), std::string::npos) << base.out;
}

TEST_F(Entry, StopNamesAndTheBareStopWordSelectTheStopAction) {
    for (const auto& [name, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"stopexampleplain", {}},
             {"restartsrv_exampleplain", {"stop"}},
             {"restartsrv_base", {"exampleplain", "--stop"}}}) {
        auto r = root_.run(name, args);
        EXPECT_EQ(r.status, 0) << name << "\n" << r.err;
        // One message: nothing was stopped, so nothing "stopped successfully".
        EXPECT_EQ(r.out, "“exampleplain” is not running; there is nothing to stop.\n\n") << name;
    }
}

TEST_F(Entry, ANameThatNamesNoServiceIsAnErrorQuotingThePath) {
    auto r = root_.run("some_tool", {});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("some_tool”"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(root_.run("restartsrv_", {}).status, 1);
}

TEST_F(Entry, AnActionWordAsServiceIsAnErrorNamingIt) {
    for (const std::string name : {"restartsrv_stop", "restartsrv_restart"}) {
        auto r = root_.run(name, {});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("“" + name.substr(11) + "” is an action"), std::string::npos) << r.err;
    }
}

TEST_F(Entry, ABareBaseNameIsAnError) {
    auto bare = root_.run("restartsrv_base", {});
    EXPECT_EQ(bare.status, 1);
    EXPECT_NE(bare.err.find("must be invoked as"), std::string::npos);
    auto only_options = root_.run("restartsrv_base", {"--stop"});
    EXPECT_EQ(only_options.status, 1);
    EXPECT_NE(only_options.err.find("No service was named"), std::string::npos);
}

TEST_F(Entry, CustomActionWordsTakeOverTheRun) {
    for (const auto& [word, action] : std::vector<std::pair<std::string, std::string>>{
             {"--flush", "flush"}, {"flush", "flush"}, {"FLUSH", "FLUSH"}, {"--Flush", "Flush"}}) {
        auto r = root_.run("restartsrv_exampleflush", {word});
        EXPECT_EQ(r.status, 0) << word << "\n" << r.err;
        EXPECT_EQ(r.out, "flushed exampleflush (action " + action + ")\n") << word;
    }
    auto hyphen = root_.run("restartsrv_exampleflush", {"--flush-all"});
    EXPECT_EQ(hyphen.out.find("flushed"), std::string::npos);
    EXPECT_NE(hyphen.status, 0);
    EXPECT_NE(hyphen.err.find("--flush-all"), std::string::npos);
}

TEST_F(Entry, SigtermWhileBusyExits143AndReleasesTheLock) {
    init_script("slowsvc", "exit 0");  // "starts" but never comes up: the liveness wait lasts
    auto cmd = root_.command("restartsrv_slowsvc", {});
    testing_support::Child program(cmd);
    // The program holds the lock while it waits for the service.
    testing_support::wait_until([&] { return !lock_is_free("slowsvc"); });
    ASSERT_FALSE(lock_is_free("slowsvc"));
    // Its handler was set before the lock was taken.
    ::kill(program.pid(), SIGTERM);
    int status = program.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 143);
    EXPECT_TRUE(lock_is_free("slowsvc"));
}

TEST_F(Entry, ASignalDuringAJsonRunEndsWithARecordAndTheSignalsOwnExit) {
    init_script("slowsvc", "exit 0");  // "starts" but never comes up: the liveness wait lasts
    const std::string out = root_.root() + "/out.jsonl";
    struct Row {
        int sig;
        bool exits_143;  // TERM exits 143; INT and HUP end the process by their own signal
        int record_exit;
    };
    for (const Row row : {Row{SIGTERM, true, 143}, Row{SIGINT, false, 130}, Row{SIGHUP, false, 129}}) {
        SCOPED_TRACE(sigabbrev_np(row.sig));
        std::vector<std::string> cmd = {"/bin/sh", "-c", "exec \"$@\" > " + out, "sh"};
        for (const auto& w : root_.command("restartsrv_slowsvc", {"--json"})) cmd.push_back(w);
        testing_support::Child program(cmd);
        testing_support::wait_until([&] { return !lock_is_free("slowsvc"); });
        ::kill(program.pid(), row.sig);
        const int status = program.wait();
        if (row.exits_143) {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 143);
        } else {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), row.sig);
        }
        EXPECT_TRUE(lock_is_free("slowsvc"));
        // Every line validates; the last is the record, saying what ended the run.
        auto record = testing_support::checked_result_record(testing_support::read_file(out));
        ASSERT_TRUE(record.is_object()) << testing_support::read_file(out);
        EXPECT_EQ(record["exit"], row.record_exit);
        EXPECT_EQ(record["error_kind"], "terminated");
        EXPECT_EQ(record["state"], "cannot-tell");
        EXPECT_EQ(record["service"], "slowsvc");
        EXPECT_EQ(record["action"], "restart");
    }
}

TEST_F(Entry, AHandledServiceErrorInVerboseModeShowsBlocksAndExits255) {
    init_script("failsvc", "echo 'cannot start: bad config' >&2; exit 1");
    auto r = root_.run("restartsrv_failsvc", {});
    EXPECT_EQ(r.status, 255) << r.err;
    EXPECT_NE(r.out.find("\nStart failed\n"), std::string::npos) << "the kind in words: " << r.out;
    EXPECT_EQ(r.out.find("Vexlan::"), std::string::npos) << "no C++ names: " << r.out;
    EXPECT_NE(r.out.find("=== Service Status ==="), std::string::npos);
    EXPECT_NE(r.out.find("=== Service Error ==="), std::string::npos);
    EXPECT_NE(r.out.find("failed to start"), std::string::npos);
    EXPECT_NE(r.out.find("=== Startup Log ==="), std::string::npos);
    EXPECT_NE(r.out.find("cannot start: bad config"), std::string::npos);
    EXPECT_NE(r.out.find("The start of “failsvc” failed."), std::string::npos) << r.out;
}

TEST_F(Entry, ALongWaitShowsItsSecondsAndAWarningGetsALineOfItsOwn) {
    // Up seven seconds after its start, timed in nanoseconds: with whole seconds it could be
    // up a little after five, before the wait shows its fifth second. A setting the log warns
    // about on the screen while "waiting for … to come up" is open.
    init_script("slowup", "f=/var/vexlan/slowup.since\ncase \"$1\" in start) date +%s%N > $f ;;\n"
                          "status) [ -e $f ] && [ $(( $(date +%s%N) - $(cat $f) )) -ge 7000000000 ] ;;"
                          " stop) rm -f $f ;; esac");
    testing_support::write_file(root_.state("/vexlan.conf"), "restartsrv_start_confirm_ms=soon\n");
    std::string line;
    for (const auto& word : root_.command("restartsrv_slowup", {})) line += "'" + word + "' ";
    auto r = testing_support::run_command({"script", "-qec", line, "/dev/null"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(" 5 s "), std::string::npos) << "elapsed seconds, not only dots: " << r.out;
    const size_t warning = r.out.find("“restartsrv_start_confirm_ms”");
    ASSERT_NE(warning, std::string::npos) << r.out;
    const size_t line_start = r.out.rfind('\n', warning);
    EXPECT_EQ(r.out.substr(line_start + 1, warning - line_start - 1).find("waiting"), std::string::npos) << r.out;
}

TEST_F(Entry, HtmlAppliesToTheStatusAnswerToo) {
    init_script("pagesvc", "case \"$1\" in status) exit 0 ;; esac");
    for (const char* action : {"--status", "--check"}) {
        auto r = root_.run("restartsrv_pagesvc", {action, "--html"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("is running"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("<br />\n"), std::string::npos) << action << " as a page line: " << r.out;
    }
}

TEST_F(Entry, QuietModeFailsWithTheErrorOnStderrAndNothingOnStdout) {
    init_script("failsvc", "exit 1");
    auto r = root_.run("restartsrv_failsvc", {"--noverbose"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("“failsvc” failed to start"), std::string::npos) << r.err;
}

TEST_F(Entry, DisabledIsNeverShownAsABlock) {
    std::filesystem::create_directories(root_.state("/services/disabled"));
    testing_support::write_file(root_.state("/services/disabled/exampleplain"), "");
    auto r = root_.run("restartsrv_exampleplain", {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("=== Service Error ==="), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("is disabled"), std::string::npos) << r.err;
}

TEST_F(Entry, TheJsonRecordTellsWhyWithoutEnglish) {
    std::filesystem::create_directories(root_.state("/services/disabled"));
    testing_support::write_file(root_.state("/services/disabled/exampleplain"), "");
    init_script("failsvc", "echo 'cannot start' >&2; exit 1");
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int exit;
        nlohmann::json service, action;
        const char* state;
        nlohmann::json kind;
        const char* said = nullptr;  // a message record before the result says this
        std::vector<std::string> env = {};
    };
    const std::vector<Row> rows = {
        {"restartsrv_nosuchsvc", {"--check"}, 1, "nosuchsvc", "check", "not-installed", "unknown"},
        {"restartsrv_base", {"nosuchsvc", "--check"}, 1, "nosuchsvc", "check", "not-installed", "unknown"},
        {"restartsrv_base", {}, 1, nullptr, nullptr, "error", "usage"},
        // Down and disabled: the restart would have been a start, and is refused as one.
        {"restartsrv_exampleplain", {}, 1, "exampleplain", "start", "disabled", "disabled"},
        {"restartsrv_failsvc", {"--bogus"}, 1, "failsvc", nullptr, "error", "invalid-parameter"},
        // It cannot reload, says so and does nothing: the record still says the service is down.
        {"restartsrv_failsvc", {"--reload"}, 0, "failsvc", "reload", "down", nullptr},
        {"restartsrv_failsvc", {}, 255, "failsvc", "start", "down", "start-failed"},
        {"restartsrv_failsvc", {"--notconfigured-ok", "--check"}, 1, "failsvc", "check", "down", "down"},
        // Help and version are records too, with their text as message lines before them.
        {"restartsrv_failsvc", {"--help"}, 0, "failsvc", "help", "cannot-tell", nullptr},
        {"restartsrv_failsvc", {"-h"}, 0, "failsvc", "help", "cannot-tell", nullptr},
        {"restartsrv_failsvc", {"--version"}, 0, "failsvc", "version", "cannot-tell", nullptr},
        {"restartsrv_failsvc", {"--attempt=x"}, 1, "failsvc", nullptr, "error", "invalid-parameter"},
        // What a class's own action prints, and the check mode's header, are records too.
        {"restartsrv_exampleflush", {"flush"}, 0, "exampleflush", "flush", "down", nullptr,
         "flushed exampleflush (action flush)"},
        {"restartsrv_failsvc", {"--check"}, 1, "failsvc", "check", "down", "down", "==> Service check mode",
         {"RESTARTSRV_CHECKMODE_HEADER=1"}},
    };
    for (const auto& row : rows) {
        auto args = row.args;
        args.push_back("--json");
        auto r = root_.run(row.name, args, row.env);
        SCOPED_TRACE(std::string(row.name) + " " + nlohmann::json(args).dump());
        EXPECT_EQ(r.status, row.exit) << r.out << r.err;
        EXPECT_EQ(r.err, "") << "the record carries the error";
        auto record = testing_support::checked_result_record(r.out);
        if (!record.is_object()) continue;
        EXPECT_EQ(record["service"], row.service);
        EXPECT_EQ(record["action"], row.action);
        EXPECT_EQ(record["state"], row.state) << r.out;
        EXPECT_EQ(record["error_kind"], row.kind);
        EXPECT_EQ(record["ok"], row.exit == 0);
        if (row.said) {
            bool found = false;
            for (const auto& line : Vexlan::Text::lines(r.out))
                found = found || nlohmann::json::parse(line).value("contents", nlohmann::json()) == row.said;
            EXPECT_TRUE(found) << r.out;
        }
        if (row.exit != 0) {
            EXPECT_NE(record["message"].get<std::string>().find("XID"), 0u) << "no identifier in the text";
        }
        // A script that failed to start its daemon: its exit and its last words are the reason.
        if (row.exit == 255) {
            EXPECT_NE(record["reason"].dump().find("cannot start"), std::string::npos) << r.out;
        }
    }
}

TEST_F(Entry, CommandLineConventionsHoldAndAMistypedNumberDoesNothing) {
    const std::string calls = root_.root() + "/calls";
    init_script("marksvc", "echo \"$1\" >> " + calls + "; exit 0");
    struct Row {
        std::vector<std::string> args;
        int exit;
        const char* out_starts;  // nullptr: stdout stays empty
        const char* err_has;
    };
    const std::vector<Row> rows = {
        {{"-h"}, 0, "Usage: restartsrv_marksvc", nullptr},
        {{"--version"}, 0, "restartsrv_base 1.", nullptr},
        {{"--attempt=x"}, 1, nullptr, "takes a whole number from 1 (given “x”)"},
        {{"--attempt=0"}, 1, nullptr, "takes a whole number from 1 (given “0”)"},
        {{"--attempt", "2x"}, 1, nullptr, "takes a whole number"},
        {{"--stop", "--attempt=-3"}, 1, nullptr, "takes a whole number"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(nlohmann::json(row.args).dump());
        auto r = root_.run("restartsrv_marksvc", row.args);
        EXPECT_EQ(r.status, row.exit) << r.out << r.err;
        if (row.out_starts) {
            EXPECT_TRUE(r.out.starts_with(row.out_starts)) << r.out;
        } else {
            EXPECT_EQ(r.out, "");
        }
        if (row.err_has) {
            EXPECT_NE(r.err.find(row.err_has), std::string::npos) << r.err;
        }
        EXPECT_FALSE(std::filesystem::exists(calls)) << "the script was run: " << testing_support::read_file(calls);
    }
    auto version = root_.run("restartsrv_marksvc", {"--version"});
    EXPECT_NE(version.out.find("(commit "), std::string::npos) << version.out;
    // The answer is the first line on either stream, with nothing before it; a script's
    // "status" alone, with no process behind it, is no proof of a running service.
    for (const auto& args : std::vector<std::vector<std::string>>{{"--status"}, {"--status", "--verbose"}, {"--check"}}) {
        auto status = root_.run("restartsrv_marksvc", args);
        EXPECT_EQ(status.status, 1) << status.out << status.err;
        EXPECT_EQ(status.out, "");
        EXPECT_TRUE(status.err.starts_with("(XID ")) << "[" << status.err << "]";
    }
}

TEST_F(Entry, TheToleranceOptionTurnsNotConfiguredIntoSuccess) {
    // The Unknown error is a service error but not a tolerated kind.
    EXPECT_EQ(root_.run("restartsrv_nosuchsvc", {"--notconfigured-ok"}).status, 1);
}

TEST_F(Entry, TheAuditRecordIsOneLineWithMode0600WhateverTheUmask) {
    mode_t old = ::umask(0);
    root_.run("restartsrv_httpd", {"--help"});
    root_.run("restartsrv_httpd", {"--help", "--no-audit"});
    root_.run("restartsrv_exampleflush", {"flush"});
    ::umask(old);
    std::string log = testing_support::read_file(root_.product("/logs/restartsrv_audit_log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find("/bin/restartsrv_httpd --help called by pid "), std::string::npos) << log;
    EXPECT_NE(log.find("/bin/restartsrv_exampleflush flush called by pid "), std::string::npos) << log;
    struct stat st {};
    ASSERT_EQ(::stat(root_.product("/logs/restartsrv_audit_log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Entry, AnUnwritableAuditLogNeverFailsTheProgram) {
    std::filesystem::create_directories(
        root_.product("/logs/restartsrv_audit_log"));  // a directory where the file goes
    auto r = root_.run("restartsrv_exampleflush", {"flush"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "flushed exampleflush (action flush)\n");
}

TEST_F(Entry, BadNamesAreClearErrorsAndTouchNothing) {
    const std::vector<std::string> names = {
        "", "a/b", "..", "../../etc/passwd", "x\x01y", std::string(300, 'n')};
    for (const auto& name : names) {
        auto r = root_.run("restartsrv_base", {name});
        EXPECT_NE(r.status, 0) << "[" << name << "]";
        EXPECT_LT(r.status, 128) << "no crash for [" << name << "]";
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(root_.state("/restartsrv/locks")))
        << "no lock was taken for a bad name";
    // Names that would steer a terminal: escape sequences, a C1 control in UTF-8 and as a
    // raw byte. Their errors and records say them escaped, on every stream.
    for (const std::string name : {"x\x1b[31mRED\x1b]0;title\a", "x\xc2\x9bRED", "-x\x1b[2J", "x\x9b" "31m"}) {
        for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--json"}}) {
            std::vector<std::string> args = {name, "--status"};
            args.insert(args.end(), extra.begin(), extra.end());
            auto r = root_.run("restartsrv_base", args);
            EXPECT_EQ(r.status, 1);
            for (const std::string& stream : {r.out, r.err}) {
                EXPECT_EQ(stream.find('\x1b'), std::string::npos) << stream;
                EXPECT_EQ(stream.find('\x07'), std::string::npos) << stream;
                EXPECT_EQ(stream.find('\x9b'), std::string::npos) << stream;
            }
        }
    }
    auto unknown = root_.run("restartsrv_exampleflush", {"--bogus"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("Unknown option “--bogus”"), std::string::npos) << unknown.err;
}

TEST_F(Entry, OneCallIsOneAuditLineWhateverItsArguments) {
    root_.run("restartsrv_exampleflush", {"flush", "x\nforged record\t\x01"});
    std::string log = testing_support::read_file(root_.product("/logs/restartsrv_audit_log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("x\\nforged record\\t\\x01"), std::string::npos) << log;
}

TEST_F(Entry, FilesAtFixedPathsAreNeverFollowedOrBlockedOn) {
    // A symlink planted at the audit log must not make root append to its target; a FIFO at
    // a lock file must not hang the program.
    testing_support::write_file(root_.root() + "/target", "");
    std::filesystem::create_symlink(root_.root() + "/target", root_.product("/logs/restartsrv_audit_log"));
    auto r = root_.run("restartsrv_exampleflush", {"flush"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testing_support::read_file(root_.root() + "/target"), "");

    std::filesystem::create_directories(root_.state("/restartsrv/locks"));
    ASSERT_EQ(::mkfifo(root_.state("/restartsrv/locks/exampleplain").c_str(), 0600), 0);
    double start = Vexlan::Time::monotonic_seconds_f();
    auto fifo = root_.run("restartsrv_exampleplain", {"--status"});
    EXPECT_LT(Vexlan::Time::monotonic_seconds_f() - start, 10.0);
    EXPECT_EQ(fifo.status, 1) << fifo.out << fifo.err;
    EXPECT_NE(fifo.err.find("not a regular file"), std::string::npos) << fifo.err;
    EXPECT_EQ(fifo.out, "") << "nothing was done";
}

TEST_F(Entry, UnreadableNumbersAreHandledNotFatal) {
    // A huge colour count from the terminal name, an attempt number that fits no integer.
    // On a terminal (under script(1)), where colour is decided from TERM.
    auto command = root_.command("stopexampleplain", {});
    std::string line;
    for (const auto& w : command) line += "'" + w + "' ";
    auto r = testing_support::run_command({"env", "TERM=xterm-99999999999999999999color", "script", "-qec",
                                           line + "--verbose; echo \"exit=$?\"", "/dev/null"});
    EXPECT_NE(r.out.find("nothing to stop"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.out.find("exit=0"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("stoi"), std::string::npos) << r.out;
    // An attempt number that fits no integer is a usage error like any mistyped number.
    auto attempt = root_.run("restartsrv_exampleflush", {"flush", "--attempt=99999999999999999999"});
    EXPECT_EQ(attempt.status, 1) << attempt.err;
    EXPECT_NE(attempt.err.find("takes a whole number"), std::string::npos) << attempt.err;
    EXPECT_EQ(attempt.err.find("stoi"), std::string::npos) << attempt.err;
}
