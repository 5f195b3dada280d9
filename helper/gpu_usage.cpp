#include "helper/gpu_usage.h"

namespace korvel {

// Placeholders until the GPU sources land: no reading.
std::optional<double> readGPUUsage() { return std::nullopt; }
std::optional<int64_t> readGPUCoreCount() { return std::nullopt; }

} // namespace korvel
