#pragma once
// A real systemd, booted as PID 1 of private namespaces, for tests that drive units.
#include <sys/types.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.hpp"

namespace testing_support {

class SystemdSandbox {
public:
    // Boots systemd with the product and state directories of `root`; waits until it runs.
    explicit SystemdSandbox(const ProgramRoot& root);
    ~SystemdSandbox();
    SystemdSandbox(const SystemdSandbox&) = delete;
    SystemdSandbox& operator=(const SystemdSandbox&) = delete;

    bool ready() const { return ready_; }
    const std::string& why_not() const { return why_not_; }
    pid_t init_pid() const { return init_pid_; }

    // Runs a command inside every namespace of the sandbox.
    ProgramResult exec(const std::vector<std::string>& command) const;
    // Runs the program as `name` inside the sandbox.
    ProgramResult program(const std::string& name, const std::vector<std::string>& args) const;
    // Writes a unit into the sandbox's private unit directory and reloads systemd.
    void install_unit(const std::string& name, const std::string& content) const;
    // A path of the sandbox's file system, seen from the host.
    std::string path(const std::string& inside) const;
    std::string systemctl_show(const std::string& unit, const std::string& property) const;

    // False (with a reason) when namespaces or systemd are not available here.
    static bool available(std::string* why);

private:
    const ProgramRoot& root_;
    pid_t unshare_pid_ = -1;
    pid_t init_pid_ = -1;
    bool ready_ = false;
    std::string why_not_;
};

// A test with a freshly booted sandbox of its own (failing, not skipping, where CI needs it).
class SandboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        VX_REQUIRE(SystemdSandbox::available(&why), "no systemd sandbox: " << why);
        sandbox_ = std::make_unique<SystemdSandbox>(root_);
        ASSERT_TRUE(sandbox_->ready()) << sandbox_->why_not();
    }
    ProgramRoot root_;
    std::unique_ptr<SystemdSandbox> sandbox_;
};

}  // namespace testing_support
