#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <new>

#include "Exception/Exception.hpp"
#include "Output/Logger.hpp"
#include "RestartSrv/Initd.hpp"
#include "Systemd/SystemdBus.hpp"
#include "Systemd/SystemdQueries.hpp"
#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/ServiceManager.hpp"
#include "Util/Guards.hpp"
#include "Util/Paths.hpp"
#include "support/TestSupport.hpp"

namespace Kinds = Vexlan::Exception::Kinds;

using Vexlan::ServiceManager::new_service;

namespace {
class FactoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Vexlan::Paths::set_test_root(dir_.path());
        std::filesystem::create_directories(dir_.path() + "/etc/init.d");
        std::filesystem::create_directories(dir_.path() + "/custom");
        std::filesystem::create_directories(dir_.path() + "/usr/local/vexlan/logs");
        Vexlan::RestartSrv::Systemd::Bus::get().close();
        // The built-in modules in a directory of the test's own, trusted from the scratch
        // directory down (a build tree may lie below /tmp, which the loader never trusts).
        std::filesystem::create_directories(dir_.path() + "/builtin");
        for (const auto& module : std::filesystem::directory_iterator(VEXLAN_MODULE_DIR))
            std::filesystem::copy_file(module.path(), dir_.path() + "/builtin/" + module.path().filename().string());
        Vexlan::LoadModule::Custom::set_trusted_top_for_testing(dir_.path());
        Vexlan::LoadModule::Custom::set_dirs_for_testing(dir_.path() + "/custom", dir_.path() + "/builtin");
    }
    void TearDown() override {
        Vexlan::Paths::set_test_root("");
        Vexlan::Paths::clear_overrides();
        Vexlan::LoadModule::Custom::set_dirs_for_testing("", "");
        Vexlan::LoadModule::Custom::set_trusted_top_for_testing("");
        Vexlan::Logger::clear_singleton_stash();
    }
    void init_script(const std::string& name) {
        testing_support::write_file(dir_.path() + "/etc/init.d/" + name, "#!/bin/sh\nexit 0\n", 0755);
    }
    // Captures what `body` writes on standard error.
    std::string stderr_of(const std::function<void()>& body) {
        fflush(stderr);
        int saved = ::dup(2);
        int f = ::open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(f, 2);
        ::close(f);
        try {
            body();
        } catch (...) {
            fflush(stderr);
            ::dup2(saved, 2);
            ::close(saved);
            throw;
        }
        fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        return testing_support::read_file(dir_.file("stderr"));
    }
    testing_support::ScratchDir dir_;
    Vexlan::EnvGuard env_;
};
}  // namespace

TEST_F(FactoryTest, ModuleNamesLowerCaseBackToTheServiceName) {
    EXPECT_EQ(Vexlan::ServiceManager::module_name_for("exim"), "Exim");
    EXPECT_EQ(Vexlan::ServiceManager::module_name_for("apache_php_fpm"), "Apache_php_fpm");
    EXPECT_EQ(Vexlan::ServiceManager::module_name_for("cpanel-dovecot"), "Cpanel_dovecot");
}

TEST_F(FactoryTest, AClassWinsOverAnInitScript) {
    init_script("exampleplain");
    auto srv = new_service({{"service", "exampleplain"}});
    EXPECT_EQ(srv->class_name(), "Vexlan::ServiceManager::Services::Exampleplain");
    EXPECT_EQ(srv->pidfile(), "/run/exampleplain.pid");
}

TEST_F(FactoryTest, TheCustomDirectoryIsSearchedFirst) {
    std::filesystem::copy_file(std::string(VEXLAN_MODULE_DIR) + "/Exampleports.so",
                               dir_.path() + "/custom/Exampleplain.so");
    auto srv = new_service({{"service", "exampleplain"}});
    EXPECT_EQ(srv->class_name(), "Vexlan::ServiceManager::Services::Exampleports");
    EXPECT_EQ(srv->service(), "exampleplain");  // the option still names the service
}

TEST_F(FactoryTest, AModuleAnotherUserCouldHaveWrittenIsNeverLoaded) {
    const std::string planted = dir_.path() + "/custom/Exampleplain.so";
    std::filesystem::copy_file(std::string(VEXLAN_MODULE_DIR) + "/Exampleports.so", planted);
    const std::string cls = "Vexlan::ServiceManager::Services::Exampleplain";
    struct Case {
        const char* what;
        mode_t file_mode;
        uid_t owner;
        mode_t dir_mode;
        const char* why;
        mode_t above_mode = 0700;  // the directory above the module's
        uid_t above_owner = 0;
        const char* also_named = "";  // a hard link's name
    };
    for (const Case& c : {Case{"writable by all", 0666, 0, 0755, "the module is writable by others than root"},
                          Case{"another user's", 0644, 65534, 0755, "the module is not owned by root"},
                          Case{"in a directory anyone may write", 0644, 0, 0777, "its directory is writable by others"},
                          Case{"below a directory anyone may write", 0644, 0, 0755, "above it is writable by others", 01777},
                          Case{"below another user's directory", 0644, 0, 0755, "above it is not owned by root", 0755, 65534},
                          Case{"with a second name", 0644, 0, 0755, "has other names", 0700, 0, "elsewhere.so"}}) {
        ::chmod(planted.c_str(), c.file_mode);
        ASSERT_EQ(::chown(planted.c_str(), c.owner, 0), 0);
        ::chmod((dir_.path() + "/custom").c_str(), c.dir_mode);
        ::chmod(dir_.path().c_str(), c.above_mode);
        ASSERT_EQ(::chown(dir_.path().c_str(), c.above_owner, 0), 0);
        if (*c.also_named) {
            ASSERT_EQ(::link(planted.c_str(), dir_.file(c.also_named).c_str()), 0);
        }
        try {
            Vexlan::LoadModule::Custom::find(cls);
            ADD_FAILURE() << c.what << ": loaded";
        } catch (const Vexlan::Exception::Base& e) {
            EXPECT_TRUE(e.isa(Kinds::ModuleLoadError)) << c.what;
            EXPECT_NE(e.to_string().find(c.why), std::string::npos) << c.what << ": " << e.to_string();
        }
        if (*c.also_named) std::filesystem::remove(dir_.file(c.also_named));
    }
    ::chmod(dir_.path().c_str(), 0700);
    ASSERT_EQ(::chown(dir_.path().c_str(), 0, 0), 0);
    ::chmod((dir_.path() + "/custom").c_str(), 0777);
    // Refused, it is a broken class: the generic object with a warning, where a script exists.
    init_script("exampleplain");
    std::string err = stderr_of([&] { EXPECT_EQ(new_service({{"service", "exampleplain"}})->class_name(), "Vexlan::ServiceManager::Base"); });
    EXPECT_NE(err.find("was not loaded"), std::string::npos) << err;
    ::chmod((dir_.path() + "/custom").c_str(), 0755);
    ::chmod(planted.c_str(), 0644);
    EXPECT_TRUE(Vexlan::LoadModule::Custom::find(cls)) << "root's, and closed to others: loaded";
}

// Two files swap names as fast as the kernel can while the loader checks and loads by that
// name: what it checked must be what it loads, so the untrusted one's constructor never runs.
TEST_F(FactoryTest, AModuleSwappedAfterItsCheckIsNeverTheOneLoaded) {
    const std::string dir = dir_.path() + "/custom";
    const std::string log = dir_.file("constructed");
    Vexlan::EnvGuard env;
    ::setenv("VEXLAN_TEST_CONSTRUCTOR_LOG", log.c_str(), 1);
    constexpr int kLoads = 200;
    auto* round = static_cast<std::atomic<int>*>(
        ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(round, MAP_FAILED);
    new (round) std::atomic<int>(-1);
    // A fresh pair each round: a module is loaded once, and later loads of it run nothing.
    auto name = [&](int i, bool trusted) { return dir + (trusted ? "/Vxswap" : "/.vxswap") + std::to_string(i) + (trusted ? ".so" : ""); };
    pid_t swapper = ::fork();
    if (swapper == 0) {
        for (int i; (i = round->load()) < kLoads;)
            if (i >= 0) ::renameat2(AT_FDCWD, name(i, true).c_str(), AT_FDCWD, name(i, false).c_str(), RENAME_EXCHANGE);
        ::_exit(0);
    }
    int loaded = 0;
    const std::filesystem::path trusted = std::filesystem::path(dir_.path()) / "builtin" / "Exampleplain.so";
    const std::filesystem::path untrusted = std::filesystem::path(VEXLAN_TEST_MODULE_DIR) / "Constructormark.so";
    for (int i = 0; i < kLoads; ++i) {
        std::filesystem::copy_file(trusted, name(i, true));
        std::filesystem::copy_file(untrusted, name(i, false));
        EXPECT_EQ(::chown(name(i, false).c_str(), 65534, 65534), 0);
        round->store(i);
        try {
            if (Vexlan::LoadModule::Custom::find("Vexlan::ServiceManager::Services::Vxswap" + std::to_string(i))) ++loaded;
        } catch (const Vexlan::Exception::Base&) {
            // refused: the other user's file stood there at the check
        }
    }
    round->store(kLoads);
    ::waitpid(swapper, nullptr, 0);
    ::munmap(round, sizeof(std::atomic<int>));
    EXPECT_GT(loaded, 0) << "the trusted module was loaded in some rounds";
    EXPECT_EQ(testing_support::read_file(log), "") << "the other user's module ran as root";
}

TEST_F(FactoryTest, AnInitScriptAloneGivesTheGenericObjectEnabledUnlessItsDisableFileExists) {
    init_script("mysvc");
    auto srv = new_service({{"service", "mysvc"}});
    EXPECT_EQ(srv->class_name(), "Vexlan::ServiceManager::Base");
    EXPECT_EQ(srv->service(), "mysvc");
    EXPECT_EQ(srv->is_enabled(), 1) << "no class, no configuration key: enabled";
    srv.reset();
    std::filesystem::create_directories(dir_.path() + "/var/vexlan/services/disabled");
    for (const char* marker : {"mysvc", "mysvc.disable"}) {
        const std::string path = dir_.path() + "/var/vexlan/services/disabled/" + marker;
        testing_support::write_file(path, "");
        EXPECT_EQ(new_service({{"service", "mysvc"}})->is_enabled(), 0) << marker;
        std::filesystem::remove(path);
    }
}

TEST_F(FactoryTest, ABrokenModuleWarnsOnceThenGenericOrUnknown) {
    std::string err = stderr_of([&] {
        VX_EXPECT_THROW_KIND(new_service({{"service", "examplebroken"}}),
                             ::Vexlan::Exception::Kinds::Services::Unknown);
    });
    EXPECT_NE(err.find("Examplebroken"), std::string::npos) << err;
    init_script("examplebroken");
    std::string again = stderr_of([&] {
        auto srv = new_service({{"service", "examplebroken"}});
        EXPECT_EQ(srv->class_name(), "Vexlan::ServiceManager::Base");
    });
    EXPECT_EQ(again, "") << "the warning is given once";
}

TEST_F(FactoryTest, AnUnknownNameIsUnknownOutsideASandboxAndTheLoadErrorInOne) {
    Vexlan::Logger::clear_marker_cache();
    std::filesystem::create_directories(dir_.path() + "/var/vexlan");
    testing_support::write_file(dir_.path() + "/var/vexlan/dev_sandbox", "");
    pid_t pid = ::fork();
    if (pid == 0) {
        try {
            new_service({{"service", "nothing"}});
        } catch (const Vexlan::Exception::Base& e) {
            ::_exit(e.isa(Kinds::ModuleLoadError) ? 0 : 1);
        }
        ::_exit(2);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::filesystem::remove(dir_.path() + "/var/vexlan/dev_sandbox");
    Vexlan::Logger::clear_marker_cache();
    try {
        new_service({{"service", "nothing"}, {"longmess", "extra"}});
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::Services::Unknown));
        EXPECT_EQ(e.get("service"), "nothing");
        EXPECT_EQ(e.get("longmess"), "extra");
    }
}

TEST_F(FactoryTest, BadNamesFailBeforeAnyLookUp) {
    for (const std::string& name : std::vector<std::string>{"..", "a/b", std::string(256, 'a')}) {
        try {
            new_service({{"service", name}});
            FAIL() << name;
        } catch (const Vexlan::Exception::Base& e) {
            EXPECT_TRUE(e.isa(Kinds::InvalidParameter)) << e.to_string();
        }
    }
    EXPECT_EQ(Vexlan::RestartSrv::Systemd::Bus::get().calls(), 0u) << "systemd was not asked";
    VX_EXPECT_THROW_KIND(new_service({{"service", ""}}), ::Vexlan::Exception::Kinds::Generic);
}

TEST_F(FactoryTest, ANameThatIsNoModuleNameNeverAttemptsALoad) {
    testing_support::write_file(dir_.path() + "/custom/My.service.so", "not a shared object");
    init_script("my.service");
    std::string err = stderr_of([&] {
        auto srv = new_service({{"service", "my.service"}});
        EXPECT_EQ(srv->class_name(), "Vexlan::ServiceManager::Base");
    });
    EXPECT_EQ(err, "");
}

TEST_F(FactoryTest, NoSystemdToAskMeansNoUnit) {
    EXPECT_FALSE(Vexlan::RestartSrv::Systemd::Bus::get().reachable());
    EXPECT_FALSE(Vexlan::RestartSrv::Systemd::has_service_via_systemd("anything"));
    EXPECT_FALSE(Vexlan::RestartSrv::Initd::has_service_via_initd(""));
    VX_EXPECT_THROW_KIND(Vexlan::RestartSrv::Initd::has_service_via_initd("a/b"),
                         ::Vexlan::Exception::Kinds::InvalidParameter);
}
