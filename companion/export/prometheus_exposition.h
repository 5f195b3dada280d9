#pragma once

#include <string>
#include <utility>
#include <vector>

namespace korvel::exporter {

// One series of a family: its labels in the order written, and its value.
struct Sample {
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
};

// A metric family of the Prometheus text format: one HELP and one TYPE line,
// then its samples. type is "counter" or "gauge".
struct MetricFamily {
    std::string name;
    std::string help;
    std::string type;
    std::vector<Sample> samples;
};

// The text exposition format, version 0.0.4. Label values are escaped (\\,
// \" and \n) so that any process or interface name stays one well-formed
// line; families without samples are left out.
std::string renderExposition(const std::vector<MetricFamily>& families);

} // namespace korvel::exporter
