#pragma once
// The lock descriptors this process holds, for the TERM handler: it may only make
// async-signal-safe calls, so it cannot run destructors, but it can unlock these.
namespace Vexlan::LockRegistry {

void add(int fd);
void remove(int fd);
// Unlocks every registered descriptor locked by this process. Async-signal-safe.
void unlock_all_for_exit();

}  // namespace Vexlan::LockRegistry
