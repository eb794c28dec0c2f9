#pragma once
// The per-distribution data classes behind the operating-system facts.
#include "OS/OS.hpp"

namespace Vexlan::OS {

// A data class whose facts are a fixed table.
class TableData : public Data {
public:
    TableData(std::string class_name, nlohmann::json facts) : class_name_(std::move(class_name)), facts_(std::move(facts)) {}
    std::string class_name() const override { return class_name_; }
    std::optional<nlohmann::json> fact(std::string_view name) const override;

private:
    std::string class_name_;
    nlohmann::json facts_;
};

// Vexlan::OS::Debian12, Vexlan::OS::Cloudlinux8 (and the RHEL family releases that share
// its facts), and the generic Vexlan::OS::Linux; nullptr for a class that does not exist.
std::unique_ptr<Data> load_data_class(const std::string& class_name);

}  // namespace Vexlan::OS
