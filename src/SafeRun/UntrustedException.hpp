#pragma once
// An error received from another process: its class name, text, stack trace and plain
// fields, held as data. Its class is never looked up or trusted.
#include <nlohmann/json.hpp>
#include <string>

namespace Vexlan {

class UntrustedException {
public:
    UntrustedException(std::string class_name, std::string text, std::string longmess, nlohmann::json metadata)
        : class_name_(std::move(class_name)), text_(std::move(text)), longmess_(std::move(longmess)),
          metadata_(std::move(metadata)) {}
    const std::string& class_name() const { return class_name_; }
    const std::string& to_string() const { return text_; }
    const std::string& longmess() const { return longmess_; }
    const nlohmann::json& metadata() const { return metadata_; }
    const nlohmann::json& get(const std::string& key) const {
        static const nlohmann::json kNull;
        auto it = metadata_.find(key);
        return it == metadata_.end() ? kNull : *it;
    }

private:
    std::string class_name_, text_, longmess_;
    nlohmann::json metadata_;
};

}  // namespace Vexlan
