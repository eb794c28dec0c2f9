#pragma once
#include <sys/types.h>

#include <functional>

namespace Vexlan::ForkAsync {

inline constexpr int DEFAULT_ERROR_CODE = 127;

// Runs `code` in a forked child and returns the child's pid at once. The child never
// returns to the caller: it exits 0 after `code`, or, when `code` throws, reports the
// error on its standard error (unless quiet) and exits with errno, or 127 when errno is 0.
pid_t do_in_child(const std::function<void()>& code);
pid_t do_in_child_quiet(const std::function<void()>& code);

// Closes every descriptor from `first` upwards except `keep` (-1 for none).
void close_fds_from(int first, int keep = -1);

}  // namespace Vexlan::ForkAsync
