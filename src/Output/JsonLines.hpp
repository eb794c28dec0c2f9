#pragma once
// Output for programs (configuration management, fleet tools): each message is one JSON
// object on a line of its own, without the markers the base class wraps records in, so
// that any JSON-lines reader takes the output as it is.
#include "Output/Output.hpp"

namespace Vexlan {

class JsonLinesOutput : public Output {
  public:
    using Output::Output;
    void message(const std::string& kind, const nlohmann::json& contents, const nlohmann::json& source,
                 int partial, int prepend) override;
    bool writes_json_lines() const override { return true; }
    // Writes a record the program builds itself (the final result of a run).
    void write_record(const nlohmann::json& record) const;
};

}  // namespace Vexlan
