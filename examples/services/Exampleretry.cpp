// A service that may need several start attempts.
#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/Base.hpp"

namespace Vexlan::ServiceManager::Services {

class Exampleretry : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Exampleretry"; }

protected:
    std::optional<int> _build_restart_attempts() override { return 3; }
    std::string _build_service_binary() override { return ""; }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Exampleretry)
