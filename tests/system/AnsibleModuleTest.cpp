// The fleet module and the README's fleet commands, run for real by ansible-playbook and
// ansible against the real systemd sandbox, the program installed where the package puts it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/SystemdSandbox.hpp"
#include "support/TestSupport.hpp"

using namespace testing_support;

namespace {
const std::string kSource = VEXLAN_SOURCE_DIR;

class AnsibleModule : public SandboxTest {
  protected:
    void SetUp() override {
        VX_REQUIRE(std::filesystem::exists("/usr/bin/ansible-playbook"), "ansible-core is not installed");
        SandboxTest::SetUp();
        std::filesystem::create_directories(root_.product("/scripts"));
        std::filesystem::create_symlink(VEXLAN_BINARY, root_.product("/scripts/restartsrv_base"));
        work_ = root_.root() + "/ansible";
        std::filesystem::create_directories(work_ + "/tmp");
        std::filesystem::create_symlink(kSource + "/contrib", work_ + "/contrib");
        // The README's group, here this machine; su, since the sandbox has no sudo.
        write_file(work_ + "/hosts",
                   "[webservers]\nlocalhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3 "
                   "ansible_become_method=su\n");
    }
    // A shell command line run in the work directory as an operator would type it.
    ProgramResult ansible(const std::string& command_line) {
        return sandbox_->exec({"/bin/bash", "-c",
                               "cd " + work_ + " && export LC_ALL=C.UTF-8 HOME=" + work_ +
                                   " ANSIBLE_LOCAL_TEMP=" + work_ + "/tmp ANSIBLE_REMOTE_TEMP=" + work_ +
                                   "/tmp ANSIBLE_NOCOLOR=1 ANSIBLE_INVENTORY=" + work_ + "/hosts && " +
                                   command_line});
    }
    std::string work_;
};

// The indented blocks of the README's fleet section, in order.
std::vector<std::string> readme_fleet_blocks() {
    std::ifstream in(kSource + "/README.md");
    std::string line, block;
    std::vector<std::string> blocks;
    bool in_section = false;
    while (std::getline(in, line)) {
        if (line.starts_with("## ")) in_section = line == "## Fleet use";
        if (!in_section) continue;
        if (line.starts_with("    ")) {
            block += line.substr(4) + "\n";
        } else if (!block.empty()) {
            blocks.push_back(block);
            block.clear();
        }
    }
    if (!block.empty()) blocks.push_back(block);
    return blocks;
}
}  // namespace

TEST_F(AnsibleModule, StartCheckRestartStopCheckModeAndAFailingCheck) {
    sandbox_->install_unit("vxans.service", "[Service]\nExecStart=/bin/sleep infinity\n");
    sandbox_->install_unit("vxansreload.service", "[Service]\nExecStart=/bin/sleep infinity\nExecReload=/bin/true\n");
    sandbox_->install_unit("vxansfail.service",
                           "[Service]\nExecStart=/bin/sh -c 'echo vxansfail: no configuration >&2; exit 1'\n");
    std::filesystem::copy_file(kSource + "/tests/system/ansible/module_play.yml", work_ + "/play.yml");
    auto r = ansible("ANSIBLE_COLLECTIONS_PATH=contrib/ansible ansible-playbook play.yml");
    EXPECT_NE(r.status, 0) << "the last play's failing check fails the run:\n" << r.out << r.err;
    EXPECT_NE(r.out.find("localhost                  : ok=19   changed=4    unreachable=0    failed=1    skipped=0    rescued=0    ignored=2"), std::string::npos)
        << "every task of the first play passed, the second play stopped at its check:\n" << r.out << r.err;
    EXPECT_FALSE(std::filesystem::exists(sandbox_->path("/run/vxans-unreachable"))) << r.out;
    EXPECT_EQ(sandbox_->systemctl_show("vxans.service", "ActiveState"), "inactive");
}

TEST_F(AnsibleModule, CheckModePredictsTheRealRunAndDiffShowsBeforeAndAfter) {
    const std::string simple = "[Service]\nExecStart=/bin/sleep infinity\n";
    const std::string reloads = simple + "ExecReload=/bin/true\n";
    for (const char* name : {"vxpdown", "vxpup", "vxpstop", "vxpstopped", "vxpnoreload", "vxpdisabled", "vxprestart"})
        sandbox_->install_unit(std::string(name) + ".service", simple);
    for (const char* name : {"vxpreloaddown", "vxpreload"}) sandbox_->install_unit(std::string(name) + ".service", reloads);
    for (const char* name : {"vxpup", "vxpstop", "vxpnoreload", "vxpreload", "vxprestart"})
        ASSERT_EQ(sandbox_->exec({"systemctl", "start", name}).status, 0) << name;
    std::filesystem::create_directories(root_.state("/services/disabled"));
    write_file(root_.state("/services/disabled/vxpdisabled"), "");
    std::filesystem::copy_file(kSource + "/tests/system/ansible/prediction_play.yml", work_ + "/play.yml");
    auto r = ansible("ANSIBLE_COLLECTIONS_PATH=contrib/ansible ansible-playbook play.yml");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("failed=0"), std::string::npos) << r.out;
    EXPECT_EQ(sandbox_->systemctl_show("vxpup.service", "ActiveState"), "active");
    EXPECT_EQ(sandbox_->systemctl_show("vxpstop.service", "ActiveState"), "inactive");
    EXPECT_EQ(sandbox_->systemctl_show("vxpdown.service", "ActiveState"), "active");
}

TEST_F(AnsibleModule, TheReadmeFleetCommandsRunAsWrittenAndKeepExitStatuses) {
    sandbox_->install_unit("vxfleet.service", "[Service]\nExecStart=/bin/sleep infinity\n");
    for (const char* name : {"restartsrv_vxfleet", "restartsrv_vxfleetdown"})
        std::filesystem::create_symlink("restartsrv_base", root_.product(std::string("/scripts/") + name));
    std::string playbook;
    std::vector<std::string> commands;
    for (const auto& b : readme_fleet_blocks()) {
        if (b.starts_with("- hosts:")) playbook = b;
        if (b.starts_with("$ ") && b.find("ansible") != std::string::npos) commands.push_back(b.substr(2));
    }
    ASSERT_FALSE(playbook.empty()) << "the README shows a playbook";
    ASSERT_GE(commands.size(), 3u) << "the README shows the playbook's run and two ad-hoc commands";
    // The README names the panel's services; the sandbox's own stand in for them: one that
    // runs, and in a second run one that does not, which each command must report.
    auto stand_in = [](std::string text) {
        for (const char* from : {"exim", "httpd", "dovecot"})
            for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
                text.replace(at, std::string(from).size(), "vxfleet");
        return text;
    };
    auto one_down = [](std::string text) { return text.replace(text.rfind("vxfleet"), 7, "vxfleetdown"); };
    sandbox_->exec({"systemctl", "start", "vxfleet"});
    for (const auto& command : commands) {
        SCOPED_TRACE(command);
        const bool runs_playbook = command.find("site.yml") != std::string::npos;
        write_file(work_ + "/site.yml", stand_in(playbook));
        auto ok = ansible(stand_in(command));
        EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
        EXPECT_EQ(sandbox_->systemctl_show("vxfleet.service", "ActiveState"), "active");
        if (runs_playbook) write_file(work_ + "/site.yml", one_down(stand_in(playbook)));
        auto bad = ansible(runs_playbook ? stand_in(command) : one_down(stand_in(command)));
        EXPECT_NE(bad.status, 0) << "a service that is down fails the command:\n" << bad.out << bad.err;
    }
}
