#pragma once

#include <cstdint>
#include <optional>

namespace korvel {

std::optional<double> readGPUUsage();
std::optional<int64_t> readGPUCoreCount();

} // namespace korvel
