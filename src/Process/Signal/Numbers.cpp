#include "Process/Signal/Numbers.hpp"

namespace Vexlan::Signal::Numbers {

const std::map<std::string, int>& SIGNAL_NUMBER() {
    static const std::map<std::string, int> kTable = {{"HUP", 1},   {"KILL", 9},  {"USR1", 10}, {"USR2", 12},
                                                      {"ALRM", 14}, {"TERM", 15}, {"CHLD", 17}};
    return kTable;
}

std::optional<int> number_of(const std::string& name) {
    std::string n = name;
    if (n.starts_with("SIG")) n.erase(0, 3);
    auto it = SIGNAL_NUMBER().find(n);
    if (it == SIGNAL_NUMBER().end()) return std::nullopt;
    return it->second;
}

}  // namespace Vexlan::Signal::Numbers
