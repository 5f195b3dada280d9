#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::platform {

// Cumulative CPU time of all processors since boot, in kernel ticks, in the
// order user, system, idle, nice. Each is taken modulo 2^32, like the 32-bit
// counters the companion's arithmetic is written for.
using CPULoadTicks = std::array<uint32_t, 4>;

// The aggregate "cpu" line of /proc/stat: system counts irq and softirq, idle
// counts iowait. No value when the line is missing or has fewer than the four
// classic fields.
std::optional<CPULoadTicks> parseCPULoadTicks(std::string_view procStat);
std::optional<CPULoadTicks> readCPULoadTicks(const std::string& procRoot);

// The 1-, 5- and 15-minute load averages, the first three fields of /proc/loadavg.
std::optional<std::array<double, 3>> parseLoadAverages(std::string_view loadavg);
std::optional<std::array<double, 3>> readLoadAverages(const std::string& procRoot);

} // namespace korvel::platform
