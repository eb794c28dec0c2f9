#include "SafeRun/Counters.hpp"

namespace Vexlan::SafeRun {

namespace {
unsigned g_children = 0;
}

unsigned children_started() { return g_children; }
void count_child_started() { ++g_children; }

}  // namespace Vexlan::SafeRun
