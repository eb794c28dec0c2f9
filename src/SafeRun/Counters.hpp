#pragma once
// How many child processes this program started, for the debug report of an action.
namespace Vexlan::SafeRun {

unsigned children_started();
void count_child_started();

}  // namespace Vexlan::SafeRun
