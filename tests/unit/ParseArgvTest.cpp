#include <gtest/gtest.h>

#include "Exception/Exception.hpp"
#include "RestartSrv/Legacy.hpp"
#include "Output/Formatted/HTML.hpp"
#include "Output/Formatted/Terminal.hpp"
#include "CommandLine/ParseArgv.hpp"
#include "Util/Guards.hpp"

namespace RestartSrv = Vexlan::RestartSrv;

namespace {
RestartSrv::ParsedArgs parse(std::vector<std::string> args, std::vector<std::string>* rest = nullptr) {
    RestartSrv::_set_argv(std::move(args));
    auto p = RestartSrv::parseargv();
    if (rest) *rest = RestartSrv::_get_argv();
    return p;
}
}  // namespace

TEST(ParseArgv, NoOptionsMeansRestart) {
    auto p = parse({});
    EXPECT_EQ(p.restart, RestartSrv::RESTART);
    EXPECT_EQ(p.check, 0);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.verbose, 0);
    EXPECT_FALSE(p.graceful);
    EXPECT_FALSE(p.restart_attempts);
}

TEST(ParseArgv, ANegatedRestartAloneFallsBackToStatus) {
    auto p = parse({"--norestart"});
    EXPECT_EQ(p.restart, 0);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(parse({"--no-restart"}).status, 1);
}

TEST(ParseArgv, TheLastModeWinsAndAModeClearsAnEarlierStatusOrCheck) {
    auto stop_then_status = parse({"--stop", "--status"});
    EXPECT_EQ(stop_then_status.status, 1);
    EXPECT_EQ(stop_then_status.restart, 0);
    auto status_then_stop = parse({"--status", "--stop"});
    EXPECT_EQ(status_then_stop.status, 0);
    EXPECT_EQ(status_then_stop.restart, RestartSrv::STOP);
    EXPECT_EQ(parse({"--stop", "--reload"}).restart, RestartSrv::RELOAD);
    EXPECT_EQ(parse({"--reload", "--noreload"}).restart, RestartSrv::RESTART);
    EXPECT_EQ(parse({"--check", "--restart"}).check, 0);
}

TEST(ParseArgv, VerbosityDebugAttemptAndGraceful) {
    EXPECT_EQ(parse({"--verbose"}).verbose, 1);
    EXPECT_EQ(parse({"--verbose", "--noverbose"}).verbose, 0);
    EXPECT_EQ(parse({"--debug"}).verbose, 2);
    EXPECT_EQ(parse({"--debug", "--nodebug"}).verbose, 0);
    EXPECT_EQ(parse({"--attempt=3"}).restart_attempts, "3");
    EXPECT_EQ(parse({"--attempt", "7"}).restart_attempts, "7");
    for (const char* bad : {"--attempt=x3", "--attempt=0", "--attempt=", "--attempt=99999999999999999999"})
        EXPECT_THROW(parse({bad}), Vexlan::Exception::Base) << bad;
    EXPECT_EQ(parse({"--graceful"}).graceful, 1);
    EXPECT_FALSE(parse({"--graceful", "--status"}).graceful) << "status empties the graceful choice";
}

TEST(ParseArgv, UnrecognisedArgumentsStayInTheList) {
    std::vector<std::string> rest;
    parse({"exim", "--stop", "--html", "--no-graceful", "stop"}, &rest);
    EXPECT_EQ(rest, (std::vector<std::string>{"exim", "--html", "--no-graceful", "stop"}));
}

TEST(ParseArgv, TheCheckHeaderComesFirstWhenAskedFor) {
    Vexlan::EnvGuard env;
    env.set("RESTARTSRV_CHECKMODE_HEADER", "1");
    testing::internal::CaptureStdout();
    parse({"--check"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "==> Service check mode\n");
    env.unset("RESTARTSRV_CHECKMODE_HEADER");
    testing::internal::CaptureStdout();
    parse({"--check"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ParseArgv, HtmlAnywhereSelectsTheHtmlOutput) {
    auto html = RestartSrv::get_formatted_output_object({"--output=html"});
    auto term = RestartSrv::get_formatted_output_object({"--verbose"});
    EXPECT_NE(dynamic_cast<Vexlan::Output::Formatted::HTML*>(html.get()), nullptr);
    EXPECT_NE(dynamic_cast<Vexlan::Output::Formatted::Terminal*>(term.get()), nullptr);
}
