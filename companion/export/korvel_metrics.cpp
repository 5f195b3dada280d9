#include "companion/export/korvel_metrics.h"

#include "companion/engine/tcp_state.h"
#include "companion/engine/transport_proto.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <tuple>

namespace korvel::exporter {
namespace {

constexpr double kNanosecondsPerSecond = 1e9;

struct GroupTotals {
    double cpuSeconds = 0;
    double residentBytes = 0;
    double processCount = 0;
    double tcpBytesIn = 0;
    double tcpBytesOut = 0;
    // (protocol, state) -> open sockets
    std::map<std::pair<std::string, std::string>, double> sockets;

    void add(const GroupTotals& other) {
        cpuSeconds += other.cpuSeconds;
        residentBytes += other.residentBytes;
        processCount += other.processCount;
        tcpBytesIn += other.tcpBytesIn;
        tcpBytesOut += other.tcpBytesOut;
        for (const auto& [key, count] : other.sockets) {
            sockets[key] += count;
        }
    }
};

using GroupKey = std::pair<std::string, std::string>; // (group, user)

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Prometheus style: "established", "time_wait"; UDP has no state.
std::string stateLabel(const NetConnection& socket) {
    if (socket.proto != TransportProto::tcp && socket.proto != TransportProto::tcp6) {
        return "none";
    }
    return socket.state == TCPState::unknown ? "unknown" : lowercase(rawValue(socket.state));
}

std::string userLabel(const NetProcess& process, const MetricsInput& input) {
    if (!process.uid) {
        return "unknown";
    }
    if (input.userName) {
        if (auto name = input.userName(*process.uid)) {
            return *name;
        }
    }
    return std::to_string(*process.uid);
}

GroupTotals totalsOf(const NetProcess& process) {
    GroupTotals totals;
    totals.cpuSeconds = static_cast<double>(process.cpuNS) / kNanosecondsPerSecond;
    totals.residentBytes = static_cast<double>(process.memBytes);
    totals.processCount = 1;
    for (const auto& socket : process.connections) {
        totals.sockets[{lowercase(rawValue(socket.proto)), stateLabel(socket)}] += 1;
        totals.tcpBytesIn += static_cast<double>(socket.bytesIn.value_or(0));
        totals.tcpBytesOut += static_cast<double>(socket.bytesOut.value_or(0));
    }
    return totals;
}

// The busiest groups by CPU time, then "other" for everything else.
std::vector<std::pair<GroupKey, GroupTotals>> boundedGroups(const MetricsInput& input) {
    std::map<GroupKey, GroupTotals> groups;
    if (input.processes) {
        for (const auto& process : *input.processes) {
            groups[{processGroupName(process), userLabel(process, input)}].add(totalsOf(process));
        }
    }
    std::vector<std::pair<GroupKey, GroupTotals>> ranked(groups.begin(), groups.end());
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return a.second.cpuSeconds > b.second.cpuSeconds;
    });
    if (ranked.size() > kMaxProcessGroups) {
        GroupTotals other;
        for (auto it = ranked.begin() + kMaxProcessGroups; it != ranked.end(); ++it) {
            other.add(it->second);
        }
        ranked.resize(kMaxProcessGroups);
        ranked.push_back({{"other", "other"}, std::move(other)});
    }
    return ranked;
}

Sample sample(double value, std::vector<std::pair<std::string, std::string>> labels = {}) {
    return {std::move(labels), value};
}

void addHostFamilies(std::vector<MetricFamily>& out, const MetricsInput& input) {
    MetricFamily received{"korvel_network_bytes_total",
                          "Bytes through a network interface since it came up.",
                          "counter",
                          {}};
    if (input.interfaces) {
        for (const auto& row : *input.interfaces) {
            received.samples.push_back(sample(static_cast<double>(row.bytesIn),
                                              {{"interface", row.id}, {"direction", "in"}}));
            received.samples.push_back(sample(static_cast<double>(row.bytesOut),
                                              {{"interface", row.id}, {"direction", "out"}}));
        }
    }
    out.push_back(std::move(received));
    if (const SystemStats* s = input.system) {
        out.push_back({"korvel_memory_bytes",
                       "Physical memory by kind.",
                       "gauge",
                       {sample(static_cast<double>(s->totalMem), {{"kind", "total"}}),
                        sample(static_cast<double>(s->usedMem), {{"kind", "used"}}),
                        sample(static_cast<double>(s->freeMem), {{"kind", "free"}})}});
        out.push_back({"korvel_memory_available_ratio",
                       "Memory the kernel can hand out without swapping, as a share of the "
                       "total (low means pressure).",
                       "gauge",
                       {sample(s->memPressureLevel / 100.0)}});
        out.push_back({"korvel_cpu_load_ratio",
                       "Share of all processors busy since the last reading.",
                       "gauge",
                       {sample(s->cpuUsagePercent / 100.0)}});
        MetricFamily temperature{
            "korvel_temperature_celsius", "Mean sensor temperature.", "gauge", {}};
        if (s->cpuTemperatureCelsius) {
            temperature.samples.push_back(sample(*s->cpuTemperatureCelsius, {{"sensor", "cpu"}}));
        }
        if (s->gpuTemperatureCelsius) {
            temperature.samples.push_back(sample(*s->gpuTemperatureCelsius, {{"sensor", "gpu"}}));
        }
        out.push_back(std::move(temperature));
        if (s->gpuUsagePercent) {
            out.push_back({"korvel_gpu_busy_ratio",
                           "Share of time the GPU was busy.",
                           "gauge",
                           {sample(*s->gpuUsagePercent / 100.0)}});
        }
        if (s->battery) {
            out.push_back({"korvel_battery_charge_ratio",
                           "Charge of the internal battery.",
                           "gauge",
                           {sample(s->battery->percentage / 100.0)}});
        }
    }
    if (input.loadAverages) {
        const auto& load = *input.loadAverages;
        out.push_back({"korvel_load_average",
                       "Run-queue load average.",
                       "gauge",
                       {sample(load[0], {{"period", "1m"}}), sample(load[1], {{"period", "5m"}}),
                        sample(load[2], {{"period", "15m"}})}});
    }
}

void addProcessFamilies(std::vector<MetricFamily>& out, const MetricsInput& input) {
    MetricFamily cpu{"korvel_process_cpu_seconds_total",
                     "CPU time of the group's running processes (falls when one exits).",
                     "counter",
                     {}};
    MetricFamily resident{"korvel_process_resident_memory_bytes",
                          "Resident memory of the group's processes.",
                          "gauge",
                          {}};
    MetricFamily count{"korvel_processes", "Processes in the group.", "gauge", {}};
    MetricFamily sockets{
        "korvel_process_sockets", "Open sockets of the group's processes.", "gauge", {}};
    MetricFamily tcpBytes{"korvel_process_tcp_bytes_total",
                          "TCP payload bytes of the group's open sockets (falls when one closes).",
                          "counter",
                          {}};
    for (const auto& [key, totals] : boundedGroups(input)) {
        const auto labels = std::vector<std::pair<std::string, std::string>>{{"group", key.first},
                                                                             {"user", key.second}};
        cpu.samples.push_back(sample(totals.cpuSeconds, labels));
        resident.samples.push_back(sample(totals.residentBytes, labels));
        count.samples.push_back(sample(totals.processCount, labels));
        for (const auto& [protocolState, open] : totals.sockets) {
            auto socketLabels = labels;
            socketLabels.emplace_back("protocol", protocolState.first);
            socketLabels.emplace_back("state", protocolState.second);
            sockets.samples.push_back(sample(open, std::move(socketLabels)));
        }
        auto in = labels;
        in.emplace_back("direction", "in");
        auto outLabels = labels;
        outLabels.emplace_back("direction", "out");
        tcpBytes.samples.push_back(sample(totals.tcpBytesIn, std::move(in)));
        tcpBytes.samples.push_back(sample(totals.tcpBytesOut, std::move(outLabels)));
    }
    for (auto* family : {&cpu, &resident, &count, &sockets, &tcpBytes}) {
        out.push_back(std::move(*family));
    }
}

} // namespace

std::string processGroupName(const NetProcess& process) {
    if (process.appId && !process.appId->empty()) {
        return *process.appId;
    }
    if (process.unit && !process.unit->empty()) {
        return *process.unit;
    }
    if (process.execPath) {
        const auto slash = process.execPath->rfind('/');
        return process.execPath->substr(slash == std::string::npos ? 0 : slash + 1);
    }
    return process.name;
}

std::vector<MetricFamily> collectKorvelMetrics(const MetricsInput& input) {
    std::vector<MetricFamily> out;
    out.push_back({"korvel_helper_up",
                   "1 when the helper delivered processes and sockets.",
                   "gauge",
                   {sample(input.helperUp ? 1 : 0)}});
    out.push_back({"korvel_reading_duration_seconds",
                   "From the helper starting the reading to the companion merging it.",
                   "gauge",
                   {sample(input.readingDurationSeconds)}});
    out.push_back({"korvel_last_reading_timestamp_seconds",
                   "Unix time of the reading these figures come from.",
                   "gauge",
                   {sample(input.readingTimeUnixSeconds)}});
    addHostFamilies(out, input);
    addProcessFamilies(out, input);
    return out;
}

} // namespace korvel::exporter
