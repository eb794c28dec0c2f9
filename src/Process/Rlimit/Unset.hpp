#pragma once

namespace Vexlan::Rlimit::Unset {

// Lifts the resource limits this process inherited, for the daemon it is about to
// start: every soft limit up to its hard limit and, as root, the memory, processor and
// file-size limits to unlimited.
void unset_rlimits();

}  // namespace Vexlan::Rlimit::Unset
