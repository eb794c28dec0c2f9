#include "Util/Validate.hpp"

#include <cctype>
#include <string>

#include "Exception/Exception.hpp"

namespace Vexlan::Validate {

namespace {
bool is_word(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
}  // namespace

bool is_valid_filesystem_node_name(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

void filesystem_node_name_or_die(std::string_view name) {
    if (!is_valid_filesystem_node_name(name))
        throw Exception::create(Exception::Kinds::InvalidParameter, {{"message", "“" + std::string(name) + "” is not a valid file-system node name."}});
}

bool is_valid_service_name(std::string_view name) {
    if (name.empty() || name.size() > 255 || name[0] == '.' || name[0] == '-') return false;
    for (char c : name)
        if (!(is_word(c) || c == '-' || c == '.' || c == '@')) return false;
    return true;
}

bool is_valid_module_name(std::string_view name) {
    size_t i = 0;
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    ++i;
    while (i < name.size() && is_word(name[i])) ++i;
    while (i < name.size()) {
        if (name[i] == '\'')
            ++i;
        else if (name.substr(i, 2) == "::")
            i += 2;
        else
            return false;
        size_t start = i;
        while (i < name.size() && is_word(name[i])) ++i;
        if (i == start) return false;
    }
    return true;
}

}  // namespace Vexlan::Validate
