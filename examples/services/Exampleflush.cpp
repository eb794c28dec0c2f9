// A service with a custom action: "flush" (as --flush, flush or FLUSH) takes over the run.
#include <cstdio>

#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/Base.hpp"

namespace Vexlan::ServiceManager::Services {

class Exampleflush : public Base {
public:
    using Base::Base;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Exampleflush"; }

    std::map<std::string, CustomAction> custom_actions() override {
        return {{"flush", [](Base& self) {
                     std::printf("flushed %s (action %s)\n", self.service().c_str(), self.service_argv_action().c_str());
                 }}};
    }

protected:
    std::string _build_service_binary() override { return ""; }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Exampleflush)
