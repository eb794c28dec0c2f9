#pragma once
#include <string>

namespace Vexlan::Carp {

// The message followed by the calls that led to it, one frame per line; frames that
// name sensitive things (passwords, secrets, keys, tokens) are masked.
std::string safe_longmess(const std::string& message);

}  // namespace Vexlan::Carp
