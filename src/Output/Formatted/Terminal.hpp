#pragma once
#include "Output/Formatted.hpp"

namespace Vexlan {

// Plain text with ANSI colour when it is safe to colour.
class Output::Formatted::Terminal : public Output::Formatted::Plain {
public:
    using Plain::Plain;
    // Forgets the cached colour-disable decision.
    static void _clear_cache();

protected:
    std::string format_text(const std::string& colour, const std::string& text) override;
};

}  // namespace Vexlan
