#include "Util/LockRegistry.hpp"

#include <sys/file.h>
#include <unistd.h>

#include <csignal>

namespace Vexlan::LockRegistry {

namespace {
constexpr int kSlots = 16;
volatile sig_atomic_t g_fds[kSlots] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
volatile sig_atomic_t g_pids[kSlots] = {};
}  // namespace

void add(int fd) {
    for (int i = 0; i < kSlots; ++i) {
        if (g_fds[i] < 0) {
            g_pids[i] = ::getpid();
            g_fds[i] = fd;
            return;
        }
    }
}

void remove(int fd) {
    for (int i = 0; i < kSlots; ++i)
        if (g_fds[i] == fd) g_fds[i] = -1;
}

void unlock_all_for_exit() {
    pid_t self = ::getpid();
    for (int i = 0; i < kSlots; ++i)
        if (g_fds[i] >= 0 && g_pids[i] == self) ::flock(g_fds[i], LOCK_UN);
}

}  // namespace Vexlan::LockRegistry
