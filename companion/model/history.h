#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace korvel {

// A short series of recent values, oldest first.
using History = std::vector<double>;

// How one history bounds its values and its length.
struct HistoryRule {
    size_t capacity = 0;
    std::optional<double> lowest;  // values below are stored as this
    std::optional<double> highest; // values above are stored as this
};

inline constexpr HistoryRule kCPUHistoryRule{80, 0.0, 100.0};
inline constexpr HistoryRule kGPUHistoryRule{80, 0.0, 100.0};
inline constexpr HistoryRule kConnectionCountHistoryRule{80, 0.0, std::nullopt};
inline constexpr HistoryRule kTrafficHistoryRule{120, std::nullopt, std::nullopt};

// Clamps the value by the rule, appends it and drops the oldest entries beyond
// the capacity. An absent value (a merge without a GPU reading) appends nothing.
void appendHistorySample(History& history, std::optional<double> value, const HistoryRule& rule);

} // namespace korvel
