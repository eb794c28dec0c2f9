#pragma once
// Message templates per error kind. "{field}" stands for the field's text.
#include <string>
#include <string_view>

namespace Vexlan::Exception {

// The template for a kind, or an empty view when the catalogue has none.
std::string_view catalogue_template(std::string_view type);

}  // namespace Vexlan::Exception
