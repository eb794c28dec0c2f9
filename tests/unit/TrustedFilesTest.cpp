// Directories and files only root's program may write: what another user planted in their
// place is refused (or, for the program's own locks and startup logs, replaced), and never
// written through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "Output/Logger.hpp"
#include "Lock/Lock.hpp"
#include "RestartSrv/LoggedStartup.hpp"
#include "ServiceManager/Hot.hpp"
#include "support/ScratchRoot.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"

using namespace testing_support;
namespace fs = std::filesystem;
using Vexlan::Paths::Key;

namespace {
constexpr uid_t kNobody = 65534;

class TrustedFiles : public ScratchRootTest {
  protected:
    std::string path(Key key) { return Vexlan::Paths::get(key); }
    static mode_t mode_of(const std::string& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    static uid_t owner_of(const std::string& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_uid : 0;
    }
};
}  // namespace

TEST_F(TrustedFiles, OneRuleForTheDirectoriesTheProgramWritesInto) {
    const std::string elsewhere = root_.path() + "/elsewhere";
    fs::create_directories(elsewhere);
    const std::string startup = path(Key::StartupLogDir);
    fs::create_directories(fs::path(startup).parent_path());
    struct Row {
        const char* what;
        std::function<void()> plant;
        int error;
    };
    const std::vector<Row> rows = {
        {"a symbolic link in its place", [&] { fs::create_directory_symlink(elsewhere, startup); }, ELOOP},
        {"a symbolic link above it, in the product's part",
         [&] {
             fs::remove_all(fs::path(startup).parent_path());
             fs::create_directory_symlink(elsewhere, fs::path(startup).parent_path());
         },
         ELOOP},
        {"another user's directory", [&] { fs::create_directories(startup); ASSERT_EQ(::chown(startup.c_str(), kNobody, kNobody), 0); }, EPERM},
        {"a directory anyone may write to", [&] { fs::create_directories(startup); fs::permissions(startup, fs::perms::all); }, EPERM},
        {"a file in its place", [&] { write_file(startup, ""); }, ENOTDIR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(fs::path(startup).parent_path());
        fs::create_directories(fs::path(startup).parent_path());
        row.plant();
        errno = 0;
        EXPECT_FALSE(Vexlan::FileUtils::ensure_owned_directory(startup, 0700));
        EXPECT_EQ(errno, row.error);
        // And what writes there writes nothing through it.
        write_file(elsewhere + "/vxsvc", "someone else's file\n");
        try {
            Vexlan::RestartSrv::append_to_startup_log("vxsvc", "a daemon's line\n");
        } catch (const Vexlan::Exception::Base& e) {
            EXPECT_NE(e.to_string().find(Vexlan::FileUtils::describe_open_error(row.error)), std::string::npos) << e.to_string();
        }
        EXPECT_EQ(read_file(elsewhere + "/vxsvc"), "someone else's file\n");
        fs::remove_all(fs::path(startup).parent_path());
        fs::remove(fs::path(startup).parent_path());
    }
    // A missing directory is made, root's and private.
    EXPECT_TRUE(Vexlan::FileUtils::ensure_owned_directory(startup, 0700));
    EXPECT_EQ(mode_of(startup), 0700u);
}

TEST_F(TrustedFiles, LogsAreRootsAloneAndLocksAreNeverAnotherUsersToHold) {
    const std::string error_log = path(Key::ErrorLog);
    // A log another user planted, open to everyone: not written to; the logger says it on
    // standard error instead.
    write_file(error_log, "");
    ASSERT_EQ(::chown(error_log.c_str(), kNobody, kNobody), 0);
    fs::permissions(error_log, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                   fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
    errno = 0;
    EXPECT_FALSE(Vexlan::FileUtils::open_private_file(error_log, O_WRONLY | O_APPEND | O_CREAT));
    EXPECT_EQ(errno, EPERM);
    Vexlan::Logger::clear_singleton_stash();
    Vexlan::Logger::create()->warn("a line for root only");
    EXPECT_EQ(read_file(error_log), "") << "nothing of root's reaches a planted log";

    // Root's own log whose mode someone loosened: tightened, and written.
    fs::remove(error_log);
    write_file(error_log, "", 0666);
    ::chmod(error_log.c_str(), 0666);
    EXPECT_TRUE(Vexlan::FileUtils::open_private_file(error_log, O_WRONLY | O_APPEND | O_CREAT));
    EXPECT_EQ(mode_of(error_log), 0600u);

    // A hard link planted to another file is never appended to.
    const std::string other = root_.path() + "/precious";
    write_file(other, "precious\n", 0600);
    fs::remove(error_log);
    fs::create_hard_link(other, error_log);
    EXPECT_FALSE(Vexlan::FileUtils::open_private_file(error_log, O_WRONLY | O_APPEND | O_CREAT));
    EXPECT_EQ(read_file(other), "precious\n");

    // A lock file another user owns (and may hold): replaced by root's own before locking.
    const std::string lock_dir = path(Key::LockBase);
    fs::create_directories(lock_dir);
    const std::string lock = lock_dir + "/vxsvc";
    write_file(lock, "");
    ASSERT_EQ(::chown(lock.c_str(), kNobody, kNobody), 0);
    {
        auto held = Vexlan::RestartSrv::Lock::create("vxsvc");
        EXPECT_EQ(owner_of(lock), 0u);
        EXPECT_EQ(mode_of(lock), 0600u);
    }
}

// The pidfile's directory may be the daemon user's: a link swapped in at the pidfile while a
// graceful restart moves the pidfile's time never moves the time of the file it names.
TEST_F(TrustedFiles, AGracefulRestartNeverTouchesWhatALinkSwappedInAtThePidfileNames) {
    const std::string pidfile = root_.file("vxhot.pid"), link = root_.file("vxhot.link"), precious = root_.file("precious");
    write_file(precious, "precious\n");
    const struct timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, precious.c_str(), long_ago, 0), 0);
    // The pidfile names init, which no graceful restart ever signals.
    write_file(pidfile, "1\n");
    fs::create_symlink(precious, link);
    auto hot = Vexlan::ServiceManager::make_service<Vexlan::ServiceManager::Hot>({{"service", "vxhot"}, {"pidfile", pidfile}});
    auto* graceful = static_cast<Vexlan::ServiceManager::Hot*>(hot.get());
    pid_t swapper = ::fork();
    if (swapper == 0) {
        // The two names trade places; the real file's time stays in the current second, so
        // that every graceful restart moves it.
        for (unsigned n = 0;; ++n) {
            ::renameat2(AT_FDCWD, pidfile.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
            ::utimensat(AT_FDCWD, (n % 2 ? pidfile : link).c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
        }
    }
    int restarted = 0;
    for (int i = 0; i < 5000; ++i) restarted += graceful->restart_gracefully();
    EXPECT_EQ(restarted, 0);
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    struct stat st {};
    ASSERT_EQ(::stat(precious.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000) << "the file a link named was touched";
    EXPECT_EQ(read_file(precious), "precious\n");
}

TEST_F(TrustedFiles, AStalePidfileIsRemovedByItsNameInItsOwnDirectoryOnly) {
    // The pidfile's directory may be the daemon user's: a link there, or in its place, never
    // makes root remove what the link names.
    const std::string base = root_.path();
    fs::create_directories(base + "/run/vxd");
    fs::create_directories(base + "/elsewhere");
    write_file(base + "/elsewhere/precious", "keep");
    write_file(base + "/run/vxd/vxd.pid", "123\n");
    fs::create_symlink(base + "/elsewhere/precious", base + "/run/vxd/link.pid");
    fs::create_symlink(base + "/elsewhere", base + "/run/vxlinked");
    struct Row {
        std::string pidfile;
        bool removed;
        std::string gone;  // what is no longer there afterwards
    };
    const Row rows[] = {
        {base + "/run/vxd/vxd.pid", true, base + "/run/vxd/vxd.pid"},
        {base + "/run/vxd/link.pid", true, base + "/run/vxd/link.pid"},  // the link, not its target
        {base + "/run/vxlinked/precious", false, ""},                    // a directory that is a link
        {base + "/run/vxd/none.pid", false, ""},
        {base + "/run/vxd/", false, ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Vexlan::FileUtils::remove_from_its_directory(row.pidfile), row.removed) << row.pidfile;
        if (!row.gone.empty()) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(row.gone))) << row.pidfile;
        }
        EXPECT_EQ(read_file(base + "/elsewhere/precious"), "keep") << row.pidfile;
    }
}
