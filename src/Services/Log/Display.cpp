#include "Services/Log/Display.hpp"

#include "Exception/Exception.hpp"
#include "Output/Output.hpp"
#include "Services/Log/Log.hpp"

namespace Vexlan::Services::Log {

Display::Display(std::string service, Output* output_obj, std::optional<RestartSrv::Systemd::PropertyMap> systemd)
    : service_(std::move(service)), output_(output_obj), systemd_(std::move(systemd)) {
    if (service_.empty()) throw Exception::create(Exception::Kinds::MissingParameter, {{"name", "service"}});
    if (!output_) throw Exception::create(Exception::Kinds::MissingParameter, {{"name", "output_obj"}});
}

int Display::show_startup_log() {
    if (auto [ok, text] = fetch_service_startup_log(service_, systemd_); ok && text.find_first_not_of(" \t\n") != std::string::npos)
        output_->display_message_set(STARTUP_LOG_HEADER, text);
    if (auto [ok, text] = fetch_service_log_messages(service_, service_); ok && !text.empty())
        output_->display_message_set(LOG_MESSAGES_HEADER, text);
    return 1;
}

}  // namespace Vexlan::Services::Log
