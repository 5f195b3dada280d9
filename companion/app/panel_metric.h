#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel {

class DataUsage;
class KorvelManager;

// The "menuBarMetric" as text for the window's title: "↓1.2 MB/s ↑80 kB/s"
// for "network", "CPU 12 %" for "cpu", "CPU 54 °C" for "cpuTemp", and so on;
// a figure not measured shows as "—", and "dataUsage" as the primary
// network's bytes this cycle, "Data 3.2 GB / 10 GB" against its plan, as the
// usage last read them. No value for "none" and for any text that is not one
// of the metrics.
std::optional<std::string> panelMetricText(std::string_view metric, const KorvelManager& manager,
                                           const DataUsage* usage = nullptr);

// How close the metric is to its bad end, 0 to 1, for the indicator's colour:
// the share for loads and fill levels, an empty battery as 1, 100 °C as 1,
// network rates against the session's peak, data against the plan's cap. No
// value when not measured.
std::optional<double> panelMetricLevel(std::string_view metric, const KorvelManager& manager,
                                       const DataUsage* usage = nullptr);

} // namespace korvel
