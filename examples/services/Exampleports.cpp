// A service that listens on a port: a second start attempt first frees the port.
#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/Base.hpp"

namespace Vexlan::ServiceManager::Services {

class Exampleports : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Exampleports"; }

protected:
    std::vector<int> _build_ports() override { return {18765}; }
    std::string _build_service_binary() override { return ""; }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Exampleports)
