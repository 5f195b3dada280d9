#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel::exposition {

// One series of a family: its labels in the order written, its value, and
// the Unix time it was measured at where that is not the time of the scrape.
struct Sample {
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
    std::optional<double> time = {};
};

// A metric family of the Prometheus text format: one HELP and one TYPE line,
// then its samples. type is "counter" or "gauge"; a counter's name ends in
// _total. unit, when given, is the name's last word before any _total.
struct MetricFamily {
    std::string name;
    std::string help;
    std::string type;
    std::vector<Sample> samples;
    std::string unit = {};
};

// The text exposition format, version 0.0.4. Label values are escaped (\\,
// \" and \n) so that any process or interface name stays one well-formed
// line; families without samples are left out. A sample's time is written in
// milliseconds.
std::string renderExposition(const std::vector<MetricFamily>& families);

// The same families as OpenMetrics 1.0 text: a counter's metadata names it
// without _total, units get a UNIT line, HELP escapes quotes too, times are
// in seconds, and the document ends with # EOF.
std::string renderOpenMetrics(const std::vector<MetricFamily>& families);

} // namespace korvel::exposition
