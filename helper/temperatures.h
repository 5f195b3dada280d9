#pragma once

#include <optional>

namespace korvel {

struct Temperatures {
    std::optional<double> cpu;
    std::optional<double> gpu;
};

Temperatures readTemperatures();

} // namespace korvel
