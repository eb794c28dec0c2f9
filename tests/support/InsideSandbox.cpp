#include "support/InsideSandbox.hpp"

#include <unistd.h>

#include <cstdlib>

#include "support/SystemdSandbox.hpp"
#include "support/TestSupport.hpp"

namespace testing_support {

bool inside_sandbox() {
    const char* v = std::getenv("VEXLAN_IN_SANDBOX");
    return v && std::string(v) == "1";
}

void run_this_test_inside_sandbox() {
    std::string why;
    VX_REQUIRE(SystemdSandbox::available(&why), "no systemd sandbox: " << why);
    ProgramRoot root;
    SystemdSandbox sandbox(root);
    ASSERT_TRUE(sandbox.ready()) << sandbox.why_not();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string self(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    ASSERT_GT(n, 0);
    self.resize(static_cast<size_t>(n));
    auto r = sandbox.exec({"env", "VEXLAN_IN_SANDBOX=1", "VEXLAN_REQUIRE_ALL_TESTS=1", self,
                           std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name()});
    EXPECT_EQ(r.status, 0) << "inside the sandbox:\n" << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << "the body ran inside:\n" << r.out << r.err;
}

void install_unit_here(const std::string& name, const std::string& content) {
    write_file("/etc/systemd/system/" + name, content);
    sh("systemctl daemon-reload");
}

int sh(const std::string& command) { return run_command({"/bin/sh", "-c", command}).status; }

std::string show_here(const std::string& unit, const std::string& property) {
    auto r = run_command({"systemctl", "show", "-p", property, "--value", unit});
    while (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
    return r.out;
}

}  // namespace testing_support
