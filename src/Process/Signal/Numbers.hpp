#pragma once
#include <map>
#include <optional>
#include <string>

namespace Vexlan::Signal::Numbers {

// Signal name -> Linux signal number for the signals the program sends or names.
const std::map<std::string, int>& SIGNAL_NUMBER();
std::optional<int> number_of(const std::string& name);

}  // namespace Vexlan::Signal::Numbers
