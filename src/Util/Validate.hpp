#pragma once
#include <string_view>

namespace Vexlan::Validate {

// A file-system node name: not empty, not "." or "..", at most 255 bytes, no "/" or NUL.
bool is_valid_filesystem_node_name(std::string_view name);
// Throws InvalidParameter naming the value unless it is a valid node name.
void filesystem_node_name_or_die(std::string_view name);

// A service name as the lock files and logs use it: letters, digits and "_-.@",
// not starting with "." or "-", at most 255 bytes.
bool is_valid_service_name(std::string_view name);

// \A[A-Za-z_]\w*(?:(?:'|::)\w+)*\z
bool is_valid_module_name(std::string_view name);

}  // namespace Vexlan::Validate
