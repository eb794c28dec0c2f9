// A service whose daemon restarts itself on SIGUSR1 and rewrites its pidfile.
#include "ServiceManager/LoadModule/Custom.hpp"
#include "ServiceManager/Hot.hpp"

namespace Vexlan::ServiceManager::Services {

class Examplehot : public Hot {
public:
    using Hot::Hot;
    std::string class_name() const override { return "Vexlan::ServiceManager::Services::Examplehot"; }
    // Its configuration is broken while /run/examplehot.broken exists.
    std::vector<std::string> configuration_test_command() override {
        return {"/bin/sh", "-c",
                "if [ -e /run/examplehot.broken ]; then echo 'examplehot: syntax error on line 3' >&2; exit 1; fi"};
    }

protected:
    std::string _build_pidfile() override { return "/run/examplehot.pid"; }
    std::string _build_service_binary() override { return ""; }
};

}  // namespace Vexlan::ServiceManager::Services

VEXLAN_SERVICE_MODULE(Vexlan::ServiceManager::Services::Examplehot)
