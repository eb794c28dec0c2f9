// Deliberately broken: it needs a symbol that nothing provides, so loading it fails.
#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/Base.hpp"

extern "C" int vexlan_symbol_that_does_not_exist(void);

namespace Vexlan::ServiceManager::Services {

class Examplebroken : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Examplebroken"; }
    int suspend_time_from_nowhere() { return vexlan_symbol_that_does_not_exist(); }
};

}  // namespace Vexlan::ServiceManager::Services

extern "C" __attribute__((visibility("default"))) Vexlan::ServiceManager::Base* vexlan_service_factory(const Vexlan::Options* o) {
    auto* obj = new Vexlan::ServiceManager::Services::Examplebroken(o ? *o : Vexlan::Options::object());
    obj->suspend_time(obj->suspend_time_from_nowhere());
    return obj;
}
