#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/TestSupport.hpp"

#include <filesystem>
#include <set>
#include <cstring>

#include "Exception/Exception.hpp"
#include "Process/ProcFs.hpp"
#include "Process/PsParser/PsParser.hpp"
#include "Util/Paths.hpp"
#include "support/ProcessHelpers.hpp"

namespace PsParser = Vexlan::PsParser;
using namespace testing_support;

TEST(PsParser, AScriptRunByAnInterpreterIsFoundByTheScriptsName) {
    ScratchDir dir;
    testing_support::write_file(dir.file("mydaemon"), "import time\ntime.sleep(60)\n");
    Child script({"/usr/bin/python3", dir.file("mydaemon"), "-x"});
    Child unrelated({"/usr/bin/python3", "-c", "import time; time.sleep(60)", "mydaemon"});
    wait_for_exec(script.pid(), "mydaemon");
    wait_for_exec(unrelated.pid(), "import");
    auto pids = PsParser::get_pids_by_name(std::string("mydaemon"));
    EXPECT_TRUE(contains(pids, script.pid()));
    EXPECT_FALSE(contains(pids, unrelated.pid()));
}

TEST(PsParser, APatternThatMatchesEverythingFindsNothing) {
    EXPECT_TRUE(PsParser::get_pids_by_name(Vexlan::Regex("x*")).empty());
    EXPECT_TRUE(PsParser::get_pids_by_name(std::string()).empty());
    EXPECT_TRUE(PsParser::get_pids_by_name(std::vector<std::string>{}).empty());
}

TEST(PsParser, InitAndKernelThreadsAreNeverReturned) {
    auto all = PsParser::get_pids_by_name(Vexlan::Regex(".+"));
    EXPECT_FALSE(all.empty());
    for (pid_t p : all) {
        EXPECT_NE(p, 1);
        EXPECT_FALSE(Vexlan::ProcFs::is_kernel_thread(p)) << p;
    }
}

TEST(PsParser, KernelThreadsAreKnownByTheKernelsFlagNotByPidOrProcessGroup) {
    // Recorded stat lines in a proc root of the test's own: a container's daemons have small
    // pids, and what nsenter starts reads process group 0; only PF_KTHREAD marks a kernel thread.
    struct Row {
        pid_t pid;
        const char* cmdline;
        const char* stat;
        bool listed;
    };
    const Row rows[] = {
        {1, "/sbin/init", "1 (systemd) S 0 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 5 0 0", false},
        {2, "", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 5 0 0", false},
        {7, "", "7 (kworker/0:0H-a) b) I 2 0 0 0 -1 69238880 0 0 0 0 0 0 0 0 0 -20 1 0 9 0 0", false},
        {42, "/usr/sbin/vxd\0-f\0", "42 (vxd) S 1 42 42 0 -1 1077936448 0 0 0 0 0 0 0 0 20 0 1 0 900 0 0", true},
        {57, "/usr/bin/vxattached\0", "57 (vxattached) S 0 0 0 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 950 0 0", true},
        {99, "/usr/bin/a) b\0", "99 (a) b) S 1 99 99 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 1 0 990 0 0", true},
    };
    ScratchDir proc;
    for (const auto& row : rows) {
        const std::string dir = proc.path() + "/" + std::to_string(row.pid);
        std::filesystem::create_directories(dir);
        testing_support::write_file(dir + "/stat", std::string(row.stat) + "\n");
        testing_support::write_file(dir + "/cmdline", row.cmdline);
    }
    std::filesystem::create_directories(proc.path() + "/self");
    testing_support::write_file(proc.path() + "/self/stat", std::string(rows[3].stat) + "\n");
    Vexlan::Paths::set_override(Vexlan::Paths::Key::ProcRoot, proc.path());
    PsParser::Options o;
    o.exclude_kernel = true;
    std::set<pid_t> listed;
    for (const auto& r : PsParser::fast_parse_ps(o)) listed.insert(r.pid);
    for (const auto& row : rows) {
        EXPECT_EQ(listed.count(row.pid), row.listed ? 1u : 0u) << row.stat;
        EXPECT_EQ(Vexlan::ProcFs::is_kernel_thread(row.pid), std::string(row.cmdline).empty()) << row.stat;
    }
    Vexlan::Paths::set_override(Vexlan::Paths::Key::ProcRoot, "");
}

TEST(PsParser, AnUnprivilegedCallerOnlyEverMatchesItsOwnProcesses) {
    VX_REQUIRE(::geteuid() == 0, "needs root to drop privileges");
    ScratchDir dir;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        auto pids = PsParser::get_pids_by_name(Vexlan::Regex(".+"), PsParser::Owners{"root", "0"});
        for (pid_t p : pids)
            if (Vexlan::ProcFs::owner_uid(p) != 65534u) ::_exit(1);
        ::_exit(contains(pids, ::getpid()) ? 0 : 3);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PsParser, LoginShellAndProcessTitleDecorationsAreIgnored) {
    Child login({"bash", "-c", "exec -a -vxloginsh sleep 60"});
    Child title({"bash", "-c", "exec -a vxtitled: sleep 60"});
    wait_for_argv0(login.pid(), "-vxloginsh");
    wait_for_argv0(title.pid(), "vxtitled:");
    EXPECT_TRUE(contains(PsParser::get_pids_by_name(std::string("vxloginsh")), login.pid()));
    EXPECT_TRUE(contains(PsParser::get_pids_by_name(std::string("vxtitled")), title.pid()));
}

TEST(PsParser, OwnersByNameOrUidRestrictTheMatch) {
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/bin/sleep", "vxowned");
    Child c({prog, "60"});
    wait_for_exec(c.pid(), "vxowned");
    std::string name = prog.substr(prog.rfind('/') + 1);
    uid_t uid = *Vexlan::ProcFs::owner_uid(::getpid());
    EXPECT_TRUE(contains(PsParser::get_pids_by_name(name, PsParser::Owners{std::to_string(uid)}), c.pid()));
    if (::geteuid() == 0) {
        EXPECT_TRUE(contains(PsParser::get_pids_by_name(name, PsParser::Owners{"root"}), c.pid()));
        EXPECT_FALSE(contains(PsParser::get_pids_by_name(name, PsParser::Owners{"nobody"}), c.pid()));
    }
}

TEST(PsParser, KernelThreadsAreListedByDecoratedNameAndDroppedByExcludeKernel) {
    auto all = PsParser::fast_parse_ps();
    auto kthread = std::find_if(all.begin(), all.end(), [](const auto& r) { return r.pid == 2; });
    if (kthread == all.end() || Vexlan::ProcFs::read_cmdline(2).value_or("x") != "")
        GTEST_SKIP() << "no kernel thread is visible in this pid namespace";
    EXPECT_EQ(kthread->command.front(), '[');
    EXPECT_EQ(kthread->command.back(), ']');
    PsParser::Options o;
    o.exclude_kernel = true;
    for (const auto& r : PsParser::fast_parse_ps(o)) {
        EXPECT_FALSE(Vexlan::ProcFs::is_kernel_thread(r.pid)) << r.pid;
        EXPECT_NE(r.pid, 2);
    }
}

TEST(PsParser, RecordsCarryOwnerParentStateAndCommand) {
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/bin/sleep", "vxrecord");
    Child c({prog, "60"});
    wait_for_exec(c.pid(), "vxrecord");
    PsParser::Options o;
    o.resolve_uids = true;
    o.memory_stats = true;
    o.cpu_stats = true;
    o.elapsed_stats = true;
    auto info = PsParser::get_pid_info(c.pid());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ppid, ::getpid());
    EXPECT_EQ(info->command, prog + " 60");
    EXPECT_TRUE(info->state == "S" || info->state == "R") << info->state;
    auto list = PsParser::fast_parse_ps(o);
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& r) { return r.pid == c.pid(); });
    ASSERT_NE(it, list.end());
    EXPECT_TRUE(it->mem && it->cpu && it->elapsed);
    EXPECT_TRUE(contains(PsParser::get_child_pids({::getpid()}), c.pid()));
    o = {};
    o.exclude_self = true;
    for (const auto& r : PsParser::fast_parse_ps(o)) EXPECT_NE(r.pid, ::getpid());
}

TEST(PsParser, RefusedOptionCombinationsRaise) {
    PsParser::Options o;
    o.skip_stat = true;
    VX_EXPECT_THROW_KIND(PsParser::fast_parse_ps(o),
                         ::Vexlan::Exception::Kinds::InvalidParameter);  // without skip_cmdline
    o.skip_cmdline = true;
    EXPECT_NO_THROW(PsParser::fast_parse_ps(o));
    o.exclude_kernel = true;
    VX_EXPECT_THROW_KIND(PsParser::fast_parse_ps(o), ::Vexlan::Exception::Kinds::InvalidParameter);
}

TEST(PsParser, TheFallbackParserGivesRecordsOfTheSameShape) {
    ScratchDir dir;
    std::string prog = unique_copy(dir, "/bin/sleep", "vxfallback");
    Child c({prog, "60"});
    wait_for_exec(c.pid(), "vxfallback");
    PsParser::set_read_proc_for_testing(false);
    auto list = PsParser::fast_parse_ps();
    PsParser::set_read_proc_for_testing(true);
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& r) { return r.pid == c.pid(); });
    ASSERT_NE(it, list.end());
    EXPECT_EQ(it->command, prog + " 60");
    EXPECT_EQ(it->ppid, ::getpid());
}

TEST(ProcBasename, BaseNamesOfCommandWords) {
    EXPECT_EQ(Vexlan::Proc::Basename::getbasename("/usr/sbin/exim -bd"), "exim");
    EXPECT_EQ(Vexlan::Proc::Basename::getbasename("perl"), "perl");
    EXPECT_EQ(Vexlan::Proc::Basename::getbasename(""), "");
    EXPECT_EQ(Vexlan::Proc::Bin::getbin(::getpid()).substr(0, 1), "/");
    EXPECT_EQ(Vexlan::Proc::Bin::getbin(0), "");
    // A program whose path holds a space, running and then removed from the disk.
    ScratchDir dir;
    std::filesystem::create_directories(dir.file("a space"));
    const std::string prog = dir.file("a space/vxbin");
    std::filesystem::copy_file("/bin/sleep", prog);
    ::chmod(prog.c_str(), 0755);
    Child c({prog, "60"});
    wait_for_exec(c.pid(), "vxbin");
    EXPECT_EQ(Vexlan::Proc::Bin::getbin(c.pid()), prog);
    std::filesystem::remove(prog);
    EXPECT_EQ(Vexlan::Proc::Bin::getbin(c.pid()), prog) << "without the kernel's \" (deleted)\"";
}
