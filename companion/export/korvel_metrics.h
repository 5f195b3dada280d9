#pragma once

#include "companion/engine/connection_rates.h"
#include "companion/export/process_group_counters.h"
#include "companion/export/prometheus_exposition.h"
#include "companion/model/interface_stat.h"
#include "companion/model/net_process.h"
#include "companion/model/system_stats.h"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel::exporter {

// Everything one export is made of: the model after a merge, plus what the
// companion knows of the reading itself.
struct MetricsInput {
    const std::vector<NetProcess>* processes = nullptr;
    const std::vector<InterfaceStat>* interfaces = nullptr;
    const SystemStats* system = nullptr;
    std::optional<std::array<double, 3>> loadAverages;
    bool helperUp = false;
    // TCP bytes no process accounts for, since the engine started.
    ConnectionCounters otherTcpBytes;
    // The TCP sockets that ended since the reading before, with their final counters.
    const std::vector<HelperConnectionData>* endedConnections = nullptr;
    double readingDurationSeconds = 0;
    double readingTimeUnixSeconds = 0;
    // The user name of a uid, or no value (the uid is written instead).
    std::function<std::optional<std::string>(uint32_t)> userName;
};

// What a process is grouped under: its application id, else its systemd
// unit, else its executable's name.
std::string processGroupName(const NetProcess& process);

// The families of one export. The per-group counters go on from those
// groupCounters kept; the rest add up in group="other", so the series count
// stays bounded on any machine. readingTimeUnixSeconds paces how long a
// group keeps its series.
std::vector<MetricFamily> collectKorvelMetrics(const MetricsInput& input,
                                               ProcessGroupCounters& groupCounters);

} // namespace korvel::exporter
