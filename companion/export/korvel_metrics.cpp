#include "companion/export/korvel_metrics.h"

#include "companion/model/tcp_state.h"
#include "companion/model/transport_proto.h"
#include "platform/clock/absolute_time.h"
#include "platform/program/ascii_text.h"

#include <algorithm>
#include <map>

namespace korvel::exporter {
namespace {

constexpr double kNanosecondsPerSecond = 1e9;

// What a group's processes hold now.
struct GroupGauges {
    double residentBytes = 0;
    double processCount = 0;
    // (protocol, state) -> open sockets
    std::map<std::pair<std::string, std::string>, double> sockets;
};

// Prometheus style: "established", "time_wait"; UDP has no state.
std::string stateLabel(const NetConnection& socket) {
    if (socket.proto != TransportProto::tcp && socket.proto != TransportProto::tcp6) {
        return "none";
    }
    return socket.state == TCPState::unknown ? "unknown"
                                             : platform::asciiLowercase(rawValue(socket.state));
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

using Labels = std::vector<std::pair<std::string, std::string>>;

Sample sample(double value, Labels labels = {}) {
    return {std::move(labels), value};
}

// `labels` and one more after them.
Labels with(Labels labels, std::string name, std::string value) {
    labels.emplace_back(std::move(name), std::move(value));
    return labels;
}

void addHostFamilies(std::vector<MetricFamily>& out, const MetricsInput& input) {
    MetricFamily received{"korvel_network_bytes_total",
                          "Bytes through a network interface since it came up.",
                          "counter",
                          {}};
    for (const auto& row : input.frame->interfaces) {
        received.samples.push_back(
            sample(static_cast<double>(row.bytesIn), {{"interface", row.id}, {"direction", "in"}}));
        received.samples.push_back(sample(static_cast<double>(row.bytesOut),
                                          {{"interface", row.id}, {"direction", "out"}}));
    }
    out.push_back(std::move(received));
    const SystemStats& s = input.frame->system;
    out.push_back({"korvel_memory_bytes",
                   "Physical memory by kind.",
                   "gauge",
                   {sample(static_cast<double>(s.totalMem), {{"kind", "total"}}),
                    sample(static_cast<double>(s.usedMem), {{"kind", "used"}}),
                    sample(static_cast<double>(s.freeMem), {{"kind", "free"}})}});
    out.push_back({"korvel_memory_available_ratio",
                   "Memory the kernel can hand out without swapping, as a share of the "
                   "total (low means pressure).",
                   "gauge",
                   {sample(s.memPressureLevel / 100.0)}});
    out.push_back({"korvel_cpu_load_ratio",
                   "Share of all processors busy since the last reading.",
                   "gauge",
                   {sample(s.cpuUsagePercent / 100.0)}});
    MetricFamily temperature{"korvel_temperature_celsius", "Mean sensor temperature.", "gauge", {}};
    if (s.cpuTemperatureCelsius) {
        temperature.samples.push_back(sample(*s.cpuTemperatureCelsius, {{"sensor", "cpu"}}));
    }
    if (s.gpuTemperatureCelsius) {
        temperature.samples.push_back(sample(*s.gpuTemperatureCelsius, {{"sensor", "gpu"}}));
    }
    out.push_back(std::move(temperature));
    if (s.gpuUsagePercent) {
        out.push_back({"korvel_gpu_busy_ratio",
                       "Share of time the GPU was busy.",
                       "gauge",
                       {sample(*s.gpuUsagePercent / 100.0)}});
    }
    if (s.battery) {
        out.push_back({"korvel_battery_charge_ratio",
                       "Charge of the internal battery.",
                       "gauge",
                       {sample(s.battery->percentage / 100.0)}});
    }
    if (s.loadAverages) {
        const auto& load = *s.loadAverages;
        out.push_back({"korvel_load_average",
                       "Run-queue load average.",
                       "gauge",
                       {sample(load[0], {{"period", "1m"}}), sample(load[1], {{"period", "5m"}}),
                        sample(load[2], {{"period", "15m"}})}});
    }
}

void addProcessFamilies(std::vector<MetricFamily>& out, const MetricsInput& input,
                        ProcessGroupCounters& groupCounters) {
    const ReadingFrame& frame = *input.frame;
    if (!frame.helperFull) {
        return; // no reading of the processes: the counters resume with the next
    }
    const auto groupOf = [&input](const NetProcess& process) {
        return GroupKey{processGroupName(process), userLabel(process, input)};
    };
    const auto counters = groupCounters.fold(frame, groupOf, platform::unixSeconds(frame.time));
    std::map<GroupKey, GroupGauges> gauges;
    for (const auto& process : frame.processes) {
        const GroupKey group = groupOf(process);
        auto& now = gauges[counters.count(group) ? group : kOtherGroup];
        now.residentBytes += static_cast<double>(process.memBytes);
        now.processCount += 1;
        for (const auto& socket : process.connections) {
            now.sockets[{platform::asciiLowercase(rawValue(socket.proto)), stateLabel(socket)}] +=
                1;
        }
    }

    MetricFamily cpu{"korvel_process_cpu_seconds_total",
                     "CPU time of the group's processes, those that ended included; "
                     "never falls while the engine runs.",
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
                          "TCP payload bytes of the group's sockets, those that closed included; "
                          "never falls while the engine runs.",
                          "counter",
                          {}};
    MetricFamily udpBytes{"korvel_process_udp_bytes_total",
                          "UDP payload bytes of the group's sockets, as the kernel meter counts "
                          "them; only where it runs.",
                          "counter",
                          {}};
    MetricFamily gpu{"korvel_process_gpu_seconds_total",
                     "GPU busy time of the group's processes by engine class, from the kernel's "
                     "DRM client statistics; never falls while the engine runs.",
                     "counter",
                     {}};
    MetricFamily disk{"korvel_process_disk_bytes_total",
                      "Storage bytes the group's processes read and wrote; never falls while the "
                      "engine runs.",
                      "counter",
                      {}};
    for (const auto& [key, total] : counters) {
        const Labels labels{{"group", key.first}, {"user", key.second}};
        const GroupGauges& now = gauges[key];
        cpu.samples.push_back(
            sample(static_cast<double>(total.cpuNS) / kNanosecondsPerSecond, labels));
        resident.samples.push_back(sample(now.residentBytes, labels));
        count.samples.push_back(sample(now.processCount, labels));
        for (const auto& [protocolState, open] : now.sockets) {
            sockets.samples.push_back(
                sample(open, with(with(labels, "protocol", protocolState.first), "state",
                                  protocolState.second)));
        }
        const Labels in = with(labels, "direction", "in");
        const Labels outLabels = with(labels, "direction", "out");
        if (total.udpBytesIn > 0 || total.udpBytesOut > 0) {
            udpBytes.samples.push_back(sample(static_cast<double>(total.udpBytesIn), in));
            udpBytes.samples.push_back(sample(static_cast<double>(total.udpBytesOut), outLabels));
        }
        tcpBytes.samples.push_back(sample(static_cast<double>(total.tcpBytesIn), in));
        tcpBytes.samples.push_back(sample(static_cast<double>(total.tcpBytesOut), outLabels));
        for (const auto& [engine, ns] : total.gpuNS) {
            gpu.samples.push_back(sample(static_cast<double>(ns) / kNanosecondsPerSecond,
                                         with(labels, "engine", engine)));
        }
        for (const auto& [direction, bytes] :
             {std::pair{"read", total.diskReadBytes}, {"write", total.diskWriteBytes}}) {
            disk.samples.push_back(
                sample(static_cast<double>(bytes), with(labels, "direction", direction)));
        }
    }
    for (auto* family : {&cpu, &resident, &count, &sockets, &tcpBytes, &udpBytes, &gpu, &disk}) {
        out.push_back(std::move(*family));
    }
    out.push_back(
        {"korvel_other_tcp_bytes_total",
         "TCP payload bytes of sockets no process could be found for: they ended before a "
         "reading tied them to one. Never falls while the engine runs.",
         "counter",
         {sample(static_cast<double>(frame.otherTcpTotal.bytesIn), {{"direction", "in"}}),
          sample(static_cast<double>(frame.otherTcpTotal.bytesOut), {{"direction", "out"}})}});
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

std::vector<MetricFamily> collectKorvelMetrics(const MetricsInput& input,
                                               ProcessGroupCounters& groupCounters) {
    std::vector<MetricFamily> out;
    out.push_back({"korvel_helper_up",
                   "1 when the helper delivered processes and sockets.",
                   "gauge",
                   {sample(input.frame->helperFull ? 1 : 0)}});
    out.push_back({"korvel_reading_duration_seconds",
                   "From the helper starting the reading to the companion merging it.",
                   "gauge",
                   {sample(input.readingDurationSeconds)}});
    out.push_back({"korvel_last_reading_timestamp_seconds",
                   "Unix time of the reading these figures come from.",
                   "gauge",
                   {sample(platform::unixSeconds(input.frame->time))}});
    addHostFamilies(out, input);
    addProcessFamilies(out, input, groupCounters);
    return out;
}

} // namespace korvel::exporter
