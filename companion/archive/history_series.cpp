#include "companion/archive/history_series.h"

#include <algorithm>

namespace korvel::history {

RecordedSeries recordedSeries(Database& db, int64_t since, int64_t until, size_t slots) {
    RecordedSeries series;
    if (slots == 0 || until <= since) {
        return series;
    }
    for (auto* column : {&series.cpuPercent, &series.gpuPercent, &series.rateIn, &series.rateOut}) {
        column->resize(slots);
    }
    const int64_t width = std::max<int64_t>(1, (until - since) / static_cast<int64_t>(slots));
    const auto slotOf = [&](int64_t index) -> std::optional<size_t> {
        if (index < 0 || index >= static_cast<int64_t>(slots)) {
            return std::nullopt;
        }
        return static_cast<size_t>(index);
    };
    Statement system =
        db.prepare("SELECT (time - ?1) / ?3 AS slot, sum(cpu_percent * readings) / sum(readings), "
                   "sum(gpu_percent * readings) / sum(iif(gpu_percent IS NULL, 0, readings)) "
                   "FROM system_usage WHERE time >= ?1 AND time < ?2 GROUP BY slot");
    system.bind(1, since).bind(2, until).bind(3, width);
    while (system.step()) {
        if (const auto slot = slotOf(system.integer(0))) {
            series.cpuPercent[*slot] = system.real(1);
            series.gpuPercent[*slot] = system.optionalReal(2);
        }
    }
    // Loopback traffic never leaves the machine: the live graph leaves it out too.
    Statement interfaces = db.prepare(
        "SELECT (time - ?1) / ?3 AS slot, sum(bytes_in), sum(bytes_out) FROM interface_usage "
        "WHERE time >= ?1 AND time < ?2 AND interface <> 'lo' GROUP BY slot");
    interfaces.bind(1, since).bind(2, until).bind(3, width);
    const auto seconds = static_cast<double>(width);
    while (interfaces.step()) {
        if (const auto slot = slotOf(interfaces.integer(0))) {
            series.rateIn[*slot] = static_cast<double>(interfaces.integer(1)) / seconds;
            series.rateOut[*slot] = static_cast<double>(interfaces.integer(2)) / seconds;
        }
    }
    return series;
}

} // namespace korvel::history
