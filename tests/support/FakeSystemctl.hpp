#pragma once
// A fixture with a scratch product root and the replaying systemctl stand-in in place.
#include <gtest/gtest.h>

#include <filesystem>

#include "Output/Logger.hpp"
#include "support/TestSupport.hpp"
#include "Util/Guards.hpp"
#include "Util/Paths.hpp"

namespace testing_support {

class FakeSystemctlTest : public ::testing::Test {
protected:
    void SetUp() override {
        Vexlan::Paths::set_test_root(root_.path());
        std::filesystem::create_directories(root_.path() + "/usr/local/vexlan/logs");
        Vexlan::Paths::set_override(Vexlan::Paths::Key::Systemctl, scripts_dir() + "/fake_systemctl.sh");
        env_.set("FAKE_SYSTEMCTL_DIR", fake_.path());
        Vexlan::Logger::clear_singleton_stash();
    }
    void TearDown() override {
        Vexlan::Paths::set_test_root("");
        Vexlan::Paths::clear_overrides();
        Vexlan::Logger::clear_singleton_stash();
    }
    // What the stand-in prints, and its exit code, for `systemctl <verb> ... <unit>`.
    void reply(const std::string& verb, const std::string& unit, const std::string& text, int rc = 0) {
        write_file(fake_.file(verb + "-" + unit), text);
        write_file(fake_.file(verb + "-" + unit + ".rc"), std::to_string(rc));
    }
    std::string calls() { return read_file(fake_.file("calls")); }

    ScratchDir root_, fake_;
    Vexlan::EnvGuard env_;
};

}  // namespace testing_support
