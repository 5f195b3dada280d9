#pragma once

#include "companion/export/process_group_counters.h"
#include "companion/model/net_process.h"
#include "companion/model/reading_frame.h"
#include "companion/text/prometheus_exposition.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel::exporter {

using exposition::MetricFamily;
using exposition::renderExposition;
using exposition::renderOpenMetrics;
using exposition::Sample;

// Everything one export is made of: the merged frame, plus what the
// companion knows of the reading itself.
struct MetricsInput {
    const ReadingFrame* frame = nullptr;
    double readingDurationSeconds = 0;
    // The user name of a uid, or no value (the uid is written instead).
    std::function<std::optional<std::string>(uint32_t)> userName;
};

// What a process is grouped under: its application id, else its systemd
// unit, else its executable's name.
std::string processGroupName(const NetProcess& process);

// The families of one export. The per-group counters go on from those
// groupCounters kept; the rest add up in group="other", so the series count
// stays bounded on any machine. The reading's time paces how long a group
// keeps its series.
std::vector<MetricFamily> collectKorvelMetrics(const MetricsInput& input,
                                               ProcessGroupCounters& groupCounters);

} // namespace korvel::exporter
