#pragma once
#include <optional>

namespace Vexlan::Server::Type {

// 1 on a DNS-only server (its marker file exists), else 0; the process-wide override
// DNSONLY_MODE, when set, answers instead. Raises when the marker cannot be tested.
int is_dnsonly();
void set_dnsonly_mode(std::optional<int> mode);

}  // namespace Vexlan::Server::Type
