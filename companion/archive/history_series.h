#pragma once

#include "companion/archive/sqlite_database.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace korvel::history {

// The machine's figures over a span cut into equal slots, oldest first, for
// a graph: the mean CPU and GPU percent of the readings in a slot, and the
// bytes a second all interfaces but loopback moved in it. A slot nothing was
// recorded in has no value, so a graph shows the gap.
struct RecordedSeries {
    std::vector<std::optional<double>> cpuPercent;
    std::vector<std::optional<double>> gpuPercent;
    std::vector<std::optional<double>> rateIn;
    std::vector<std::optional<double>> rateOut;
};

// From the minute buckets, and the hour buckets before them: a slot should
// be a minute or longer. `since` and `until` are Unix seconds.
RecordedSeries recordedSeries(Database& db, int64_t since, int64_t until, size_t slots);

} // namespace korvel::history
