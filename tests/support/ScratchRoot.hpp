#pragma once
// A fixture whose product, state and system paths all lie in a scratch directory: the
// program's files land there, and no systemd is reachable through it.
#include <gtest/gtest.h>

#include <filesystem>

#include "Config/VxConfGuard.hpp"
#include "Output/Debug.hpp"
#include "Output/Logger.hpp"
#include "Systemd/SystemdBus.hpp"
#include "support/TestSupport.hpp"
#include "Util/Guards.hpp"
#include "Util/Paths.hpp"

namespace testing_support {

class ScratchRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        Vexlan::Paths::set_test_root(root_.path());
        std::filesystem::create_directories(root_.path() + "/usr/local/vexlan/logs");
        Vexlan::Logger::clear_singleton_stash();
        Vexlan::Debug::set_logger(nullptr);  // the process-wide logger writes to the old root's log
        Vexlan::RestartSrv::Systemd::Bus::get().close();
    }
    void TearDown() override {
        Vexlan::Paths::set_test_root("");
        Vexlan::Paths::clear_overrides();
        Vexlan::Config::VxConfGuard::clearcache();
        Vexlan::Logger::clear_singleton_stash();
        Vexlan::RestartSrv::Systemd::Bus::get().close();
    }
    std::string error_log() { return read_file(Vexlan::Paths::get(Vexlan::Paths::Key::ErrorLog)); }
    // The main configuration of the scratch root, read afresh from now on.
    void set_main_config(const std::string& text) {
        const std::string path = Vexlan::Paths::get(Vexlan::Paths::Key::MainConfig);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        write_file(path, text);
        // The JSON cache is judged by whole-second times: a rewrite in the same second
        // would leave the old one valid.
        std::filesystem::remove(Vexlan::Paths::get(Vexlan::Paths::Key::MainConfigCache));
        Vexlan::Config::VxConfGuard::clearcache();
    }

    ScratchDir root_;
    Vexlan::EnvGuard env_;
};

}  // namespace testing_support
