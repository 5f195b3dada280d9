#include "companion/history/history_command.h"

#include "companion/history/report_table.h"

#include "companion/archive/history_location.h"
#include "companion/archive/history_query.h"
#include "companion/archive/history_time.h"
#include "companion/text/figure_text.h"
#include "companion/text/prometheus_exposition.h"
#include "companion/text/terminal_text.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace korvel::history {
namespace {

enum class Report { usage, connections, interfaces };

struct Options {
    Window window;
    Measure by = Measure::cpu;
    Grouping group = Grouping::process;
    Report report = Report::usage;
    Format format = Format::table;
};

const std::map<std::string_view, Measure> kMeasures = {{"cpu", Measure::cpu},
                                                       {"memory", Measure::memory},
                                                       {"in", Measure::in},
                                                       {"out", Measure::out},
                                                       {"total", Measure::total}};
const std::map<std::string_view, Grouping> kGroupings = {
    {"process", Grouping::process}, {"executable", Grouping::executable},
    {"app", Grouping::app},         {"unit", Grouping::unit},
    {"user", Grouping::user},       {"container", Grouping::container}};

Table usageTable(Database& db, const Options& o) {
    Table table{{"name", "processes", "cpu_seconds", "peak_rss", "bytes_in", "bytes_out",
                 "gpu_seconds", "disk_read", "disk_write"},
                {},
                {}};
    const auto seconds = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", value);
        return std::string(text);
    };
    for (const auto& r : topUsage(db, o.window, o.by, o.group)) {
        table.rows.push_back({terminalSafeText(r.label), std::to_string(r.processes),
                              seconds(r.cpuSeconds), bytesText(r.peakRss), bytesText(r.bytesIn),
                              bytesText(r.bytesOut), seconds(r.gpuSeconds), bytesText(r.diskRead),
                              bytesText(r.diskWrite)});
        table.records.push_back({{"name", r.label},
                                 {"processes", r.processes},
                                 {"cpu_seconds", r.cpuSeconds},
                                 {"peak_rss", r.peakRss},
                                 {"bytes_in", r.bytesIn},
                                 {"bytes_out", r.bytesOut},
                                 {"gpu_seconds", r.gpuSeconds},
                                 {"disk_read", r.diskRead},
                                 {"disk_write", r.diskWrite}});
    }
    return table;
}

Table connectionsTable(Database& db, const Options& o) {
    Table table{{"process", "pid", "protocol", "remote", "port", "host", "first_seen", "last_seen",
                 "bytes_in", "bytes_out"},
                {},
                {}};
    const auto bytes = [](const std::optional<int64_t>& v) {
        return v ? bytesText(*v) : std::string("-");
    };
    for (const auto& r : endpointsSeen(db, o.window)) {
        table.rows.push_back({terminalSafeText(r.process), std::to_string(r.pid), r.protocol,
                              terminalSafeText(r.remoteAddress), std::to_string(r.remotePort),
                              terminalSafeText(r.hostName.value_or("-")), timeText(r.firstSeen),
                              timeText(r.lastSeen), bytes(r.bytesIn), bytes(r.bytesOut)});
        table.records.push_back({{"process", r.process},
                                 {"pid", r.pid},
                                 {"protocol", r.protocol},
                                 {"remote", r.remoteAddress},
                                 {"port", r.remotePort},
                                 {"host", orNull(r.hostName)},
                                 {"first_seen", r.firstSeen},
                                 {"last_seen", r.lastSeen},
                                 {"bytes_in", orNull(r.bytesIn)},
                                 {"bytes_out", orNull(r.bytesOut)}});
    }
    return table;
}

Table interfacesTable(Database& db, const Options& o) {
    Table table{{"interface", "bytes_in", "bytes_out"}, {}, {}};
    for (const auto& r : interfaceTotals(db, o.window)) {
        table.rows.push_back(
            {terminalSafeText(r.name), bytesText(r.bytesIn), bytesText(r.bytesOut)});
        table.records.push_back(
            {{"interface", r.name}, {"bytes_in", r.bytesIn}, {"bytes_out", r.bytesOut}});
    }
    return table;
}

// The report as OpenMetrics, for tools that take a scrape and for loading
// into a time-series database: a group's label is named after the grouping,
// and every sample has its time. Usage comes bucket by bucket, the counters
// adding up from the window's start, so the last sample of each is the
// report's figure; an endpoint's totals stand at its last sighting, and UDP
// endpoints, having no byte counts, show only when they were last seen.
std::vector<exposition::MetricFamily> metricFamilies(Database& db, const Options& o) {
    using exposition::MetricFamily;
    const auto family = [](std::string name, std::string help, bool counter, std::string unit) {
        return MetricFamily{"korvel_history_" + std::move(name),
                            std::move(help),
                            counter ? "counter" : "gauge",
                            {},
                            std::move(unit)};
    };
    // The bucket still open ends in the future; it is counted at the window's end.
    const auto at = [&](int64_t end) { return static_cast<double>(std::min(end, o.window.until)); };
    if (o.report == Report::interfaces) {
        auto in = family("interface_received_bytes_total", "Bytes received.", true, "bytes");
        auto out = family("interface_sent_bytes_total", "Bytes sent.", true, "bytes");
        std::map<std::string, std::vector<InterfaceStep>> series;
        for (const auto& top : interfaceTotals(db, o.window)) {
            series[top.name];
        }
        for (auto& step : interfaceSteps(db, o.window, true)) {
            if (const auto kept = series.find(step.totals.name); kept != series.end()) {
                kept->second.push_back(std::move(step));
            }
        }
        for (const auto& [name, steps] : series) {
            double received = 0, sent = 0;
            for (const auto& step : steps) {
                received += static_cast<double>(step.totals.bytesIn);
                sent += static_cast<double>(step.totals.bytesOut);
                in.samples.push_back({{{"interface", name}}, received, at(step.end)});
                out.samples.push_back({{{"interface", name}}, sent, at(step.end)});
            }
        }
        return {in, out};
    }
    if (o.report == Report::connections) {
        auto in = family("endpoint_received_bytes_total", "TCP bytes received.", true, "bytes");
        auto out = family("endpoint_sent_bytes_total", "TCP bytes sent.", true, "bytes");
        auto seen = family("endpoint_last_seen_timestamp_seconds",
                           "When a socket to the endpoint was last seen open.", false, "seconds");
        for (const auto& r : endpointsSeen(db, o.window)) {
            const std::vector<std::pair<std::string, std::string>> labels = {
                {"process", r.process},
                {"pid", std::to_string(r.pid)},
                {"protocol", r.protocol},
                {"remote", r.remoteAddress},
                {"port", std::to_string(r.remotePort)},
                {"host", r.hostName.value_or("")}};
            const auto time = static_cast<double>(r.lastSeen);
            if (r.bytesIn && r.bytesOut) {
                in.samples.push_back({labels, static_cast<double>(*r.bytesIn), time});
                out.samples.push_back({labels, static_cast<double>(*r.bytesOut), time});
            }
            seen.samples.push_back({labels, time, time});
        }
        return {in, out, seen};
    }
    auto cpu = family("process_cpu_seconds_total", "CPU time used.", true, "seconds");
    auto peak = family("process_peak_resident_memory_bytes",
                       "Largest resident memory within the step.", false, "bytes");
    auto in = family("process_received_bytes_total", "TCP bytes received.", true, "bytes");
    auto out = family("process_sent_bytes_total", "TCP bytes sent.", true, "bytes");
    auto count = family("processes", "Processes in the group that ran within the step.", false, "");
    const auto grouping =
        std::ranges::find_if(kGroupings, [&](const auto& g) { return g.second == o.group; })->first;
    // The top groups, in their order; a pid used again by a program of the
    // same name gives a second group with the same label, and one series
    // must not be listed twice, so their buckets add up.
    std::vector<std::string> labels;
    for (const UsageRow& r : topUsage(db, o.window, o.by, o.group)) {
        if (std::ranges::find(labels, r.label) == labels.end()) {
            labels.push_back(r.label);
        }
    }
    std::map<std::string, std::map<int64_t, UsageRow>> steps;
    for (const auto& label : labels) {
        steps[label];
    }
    visitUsageSteps(db, o.window, o.group, [&steps](const UsageStep& step) {
        const auto kept = steps.find(step.usage.label);
        if (kept == steps.end()) {
            return;
        }
        UsageRow& sum = kept->second[step.end];
        sum.cpuSeconds += step.usage.cpuSeconds;
        sum.peakRss = std::max(sum.peakRss, step.usage.peakRss);
        sum.bytesIn += step.usage.bytesIn;
        sum.bytesOut += step.usage.bytesOut;
        sum.processes += step.usage.processes;
    });
    for (const auto& label : labels) {
        const std::vector<std::pair<std::string, std::string>> group = {
            {std::string(grouping), label}};
        UsageRow total;
        for (const auto& [end, used] : steps[label]) {
            total.cpuSeconds += used.cpuSeconds;
            total.bytesIn += used.bytesIn;
            total.bytesOut += used.bytesOut;
            cpu.samples.push_back({group, total.cpuSeconds, at(end)});
            peak.samples.push_back({group, static_cast<double>(used.peakRss), at(end)});
            in.samples.push_back({group, static_cast<double>(total.bytesIn), at(end)});
            out.samples.push_back({group, static_cast<double>(total.bytesOut), at(end)});
            count.samples.push_back({group, static_cast<double>(used.processes), at(end)});
        }
    }
    return {cpu, peak, in, out, count};
}

// Fills options from args; the complaint when one is unusable.
std::optional<std::string> parse(const std::vector<std::string_view>& args, int64_t now,
                                 Options& o) {
    o.window.since = now - 86400;
    o.window.until = now + 1;
    bool reportChosen = false, formatChosen = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view flag = args[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            return i + 1 < args.size() ? std::optional(args[++i]) : std::nullopt;
        };
        if (flag == "--since" || flag == "--until") {
            const auto text = value();
            const auto time = text ? parseHistoryTime(*text, now) : std::nullopt;
            if (!time) {
                return std::string(flag) + " needs a time such as 3h, 2d or \"yesterday 02:00\"";
            }
            (flag == "--since" ? o.window.since : o.window.until) = *time;
        } else if (flag == "--top") {
            const auto text = value();
            int64_t n = 0;
            if (!text ||
                std::from_chars(text->data(), text->data() + text->size(), n).ptr !=
                    text->data() + text->size() ||
                n < 1) {
                return std::string("--top needs a positive number");
            }
            o.window.limit = n;
        } else if (flag == "--by" || flag == "--group") {
            const auto text = value().value_or("");
            if (flag == "--by" && kMeasures.contains(text)) {
                o.by = kMeasures.at(text);
            } else if (flag == "--group" && kGroupings.contains(text)) {
                o.group = kGroupings.at(text);
            } else {
                return std::string(flag) + (flag == "--by"
                                                ? " takes cpu, memory, in, out or total"
                                                : " takes process, executable, app, unit, user "
                                                  "or container");
            }
        } else if (flag == "--process") {
            const auto text = value();
            if (!text || text->empty()) {
                return std::string("--process needs a name or a pid");
            }
            int64_t pid = 0;
            if (std::from_chars(text->data(), text->data() + text->size(), pid).ptr ==
                text->data() + text->size()) {
                o.window.pid = pid;
            } else {
                o.window.name = std::string(*text);
            }
        } else if ((flag == "--connections" || flag == "--interfaces") && !reportChosen) {
            o.report = flag == "--connections" ? Report::connections : Report::interfaces;
            reportChosen = true;
        } else if ((flag == "--json" || flag == "--csv" || flag == "--openmetrics") &&
                   !formatChosen) {
            o.format = flag == "--json"  ? Format::json
                       : flag == "--csv" ? Format::csv
                                         : Format::openMetrics;
            formatChosen = true;
        } else {
            return "unexpected argument: " + std::string(flag);
        }
    }
    if (o.window.since >= o.window.until) {
        return std::string("--since must come before --until");
    }
    return std::nullopt;
}

} // namespace

int runHistoryCommand(const std::vector<std::string_view>& args, std::ostream& out,
                      std::ostream& err) {
    if (std::ranges::find_if(args, [](std::string_view a) { return a == "--help" || a == "-h"; }) !=
        args.end()) {
        out << "Usage: korvel-companion\n" << kHistoryUsage;
        return 0;
    }
    Options options;
    if (const auto complaint = parse(args, std::time(nullptr), options)) {
        err << "korvel-companion history: " << *complaint << "\nUsage:\n" << kHistoryUsage;
        return 2;
    }
    const auto place = historyPlace();
    std::string error = "no home directory is known";
    auto db = place ? openHistoryForReading(*place, error) : std::nullopt;
    if (!db) {
        err << "korvel-companion history: " << terminalSafeText(error) << '\n';
        return 1;
    }
    if (options.format == Format::openMetrics) {
        out << exposition::renderOpenMetrics(metricFamilies(*db, options));
        return 0;
    }
    const Table table = options.report == Report::connections  ? connectionsTable(*db, options)
                        : options.report == Report::interfaces ? interfacesTable(*db, options)
                                                               : usageTable(*db, options);
    print(table, options.format, out);
    return 0;
}

} // namespace korvel::history
