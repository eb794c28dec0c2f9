#pragma once
// The attributes and file actions of one posix_spawn, owned and destroyed together, with
// every setup call checked: a child must never start with a stream or signal state other
// than the one asked for. The first failure is kept and the spawn then refused with it.
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>

namespace Vexlan::SafeRun {

class SpawnSetup {
  public:
    SpawnSetup() {
        keep(::posix_spawn_file_actions_init(&actions_));
        keep(::posix_spawnattr_init(&attr_));
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    void dup2(int from, int to) { keep(::posix_spawn_file_actions_adddup2(&actions_, from, to)); }
    // Nothing of the caller but the three standard streams reaches the child.
    void close_from(int fd) { keep(::posix_spawn_file_actions_addclosefrom_np(&actions_, fd)); }
    // The caller's blocked and ignored signals are not the child's.
    void default_signals() {
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        keep(::posix_spawnattr_setsigdefault(&attr_, &all));
        keep(::posix_spawnattr_setsigmask(&attr_, &none));
        flags_ |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    }
    void own_process_group() {
        keep(::posix_spawnattr_setpgroup(&attr_, 0));
        flags_ |= POSIX_SPAWN_SETPGROUP;
    }
    // 0 and the child's pid, or the error number of the first failed step.
    int spawn(pid_t* pid, const char* program, char* const argv[], char* const envp[]) {
        keep(::posix_spawnattr_setflags(&attr_, flags_));
        if (error_ != 0) return error_;
        return ::posix_spawnp(pid, program, &actions_, &attr_, argv, envp);
    }

  private:
    void keep(int rc) {
        if (rc != 0 && error_ == 0) error_ = rc;
    }
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attr_;
    short flags_ = 0;
    int error_ = 0;
};

}  // namespace Vexlan::SafeRun
