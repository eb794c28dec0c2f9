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
    if (name.find("..") != std::string_view::npos) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (is_word(c) || c == '-' || c == '.' || c == '@' || c == ':') continue;
        // systemd's own escape of a byte in an instance name ("a\x2db"): a backslash only
        // ever opens one, so a name never carries a bare one into a path or a message.
        if (c == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(name[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
            i += 3;
            continue;
        }
        return false;
    }
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
