#include "Services/Log/Display.hpp"

#include "Services/Log/Journal.hpp"

#include "Output/Output.hpp"
#include "RestartSrv/SystemdQueries.hpp"
#include "SafeRun/Simple.hpp"
#include "Util/File.hpp"
#include "Util/Guards.hpp"
#include "Util/Paths.hpp"
#include "Util/Validate.hpp"

namespace Vexlan::Services::Log {

Display::Display(std::string service, Output* output_obj, std::optional<RestartSrv::Systemd::PropertyMap> systemd)
    : service_(std::move(service)), output_(output_obj), systemd_(std::move(systemd)) {}

bool Display::show_startup_log() {
    if (!output_) return false;
    std::string text;
    if (systemd_) {
        text = Journal::unit_lines(RestartSrv::Systemd::normalize_unit_name(service_)).value_or("");
    } else if (Validate::is_valid_filesystem_node_name(service_)) {
        text = FileUtils::read_file(Paths::get(Paths::Key::StartupLogDir) + "/" + service_).value_or("");
        if (text.size() > 8192) text = text.substr(text.size() - 8192);
    }
    if (text.find_first_not_of(" \t\n") == std::string::npos) return false;
    output_->display_message_set("Startup Log", text);
    return true;
}

}  // namespace Vexlan::Services::Log
