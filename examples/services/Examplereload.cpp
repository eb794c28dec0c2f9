// A service that can reload its configuration without a restart.
#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/Base.hpp"

namespace Vexlan::ServiceManager::Services {

class Examplereload : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Examplereload"; }

protected:
    int _build_support_reload() override { return 1; }
    std::string _build_service_binary() override { return ""; }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Examplereload)
