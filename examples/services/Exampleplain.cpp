// A plain per-service class: its daemon is a small shell loop with a pidfile, owned by
// root, run through the service's systemd unit or init script.
#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/Base.hpp"

namespace Vexlan::ServiceManager::Services {

class Exampleplain : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Exampleplain"; }

protected:
    std::string _build_pidfile() override { return "/run/exampleplain.pid"; }
    std::optional<std::string> _build_command_line_regex() override { return std::string("exampleplain"); }
    std::string _build_service_binary() override { return ""; }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Exampleplain)
