#include "companion/engine/frame_builder.h"

#include "companion/sampling/interface_rates.h"

#include <algorithm>
#include <unordered_map>

namespace korvel {
namespace {

// Readings the helper may skip keep their last value.
void carryOverAbsentReadings(SystemStats& stats, const SystemStats& last) {
    if (!stats.gpuCoreCount) {
        stats.gpuCoreCount = last.gpuCoreCount;
    }
    if (!stats.gpuUsagePercent) {
        stats.gpuUsagePercent = last.gpuUsagePercent;
    }
    if (!stats.cpuTemperatureCelsius) {
        stats.cpuTemperatureCelsius = last.cpuTemperatureCelsius;
    }
    if (!stats.gpuTemperatureCelsius) {
        stats.gpuTemperatureCelsius = last.gpuTemperatureCelsius;
    }
}

// What a cumulative figure (CPU time, GPU time, storage bytes) grew by since
// the earlier reading of the same process: all of it for one started since,
// none for one first seen that is older (its use belongs to intervals nobody
// saw), none when it fell.
uint64_t grownSince(uint64_t now, std::optional<uint64_t> before, bool startedSince) {
    if (!before) {
        return startedSince ? now : 0;
    }
    return now >= *before ? now - *before : 0;
}

// GPU busy time and storage bytes over the interval, as shares and rates.
void addGpuAndDiskUse(NetProcess& process, const NetProcess* earlier, bool startedSince,
                      double elapsed) {
    double busyNS = 0;
    for (const HelperGpuEngineData& engine : process.gpuEngines) {
        std::optional<uint64_t> before;
        if (earlier != nullptr) {
            const auto found =
                std::ranges::find(earlier->gpuEngines, engine.engine, &HelperGpuEngineData::engine);
            before = found == earlier->gpuEngines.end() ? 0 : found->ns;
        }
        const uint64_t used = grownSince(engine.ns, before, startedSince);
        process.gpuUsed.push_back({engine.engine, used});
        // An engine is busy at most all of the interval: more means time
        // from before it (a client first seen mid-life), not load.
        busyNS += std::min(static_cast<double>(used), elapsed * 1e9);
    }
    const bool comparable = elapsed > 0 && (earlier != nullptr || startedSince);
    if (comparable && !process.gpuEngines.empty()) {
        process.gpuPercent = busyNS / 1e9 / elapsed * 100.0;
    }
    if (process.diskReadBytes && process.diskWriteBytes) {
        process.diskReadUsed = grownSince(
            *process.diskReadBytes, earlier ? earlier->diskReadBytes : std::nullopt, startedSince);
        process.diskWriteUsed =
            grownSince(*process.diskWriteBytes, earlier ? earlier->diskWriteBytes : std::nullopt,
                       startedSince);
        if (comparable) {
            process.diskReadRate = static_cast<double>(process.diskReadUsed) / elapsed;
            process.diskWriteRate = static_cast<double>(process.diskWriteUsed) / elapsed;
        }
    }
}

// A container's traffic, from its namespace's interface counters; none
// across a counter that fell (an interface gone or reset).
void addNamespaceRates(NetProcess& process, const NetProcess* earlier, double elapsed) {
    if (earlier == nullptr || elapsed <= 0 || !process.namespaceBytesIn ||
        !earlier->namespaceBytesIn || *process.namespaceBytesIn < *earlier->namespaceBytesIn ||
        *process.namespaceBytesOut < *earlier->namespaceBytesOut) {
        return;
    }
    process.namespaceRateIn =
        static_cast<double>(*process.namespaceBytesIn - *earlier->namespaceBytesIn) / elapsed;
    process.namespaceRateOut =
        static_cast<double>(*process.namespaceBytesOut - *earlier->namespaceBytesOut) / elapsed;
}

std::vector<NetProcess> mergeProcesses(HelperResponse& reading, const ReadingFrame& previous,
                                       const CompanionFigures& figures) {
    // A reply that brought its own bytes is written to the snapshot from
    // them, so its rows' strings may move into the model.
    const bool rowsMayMove = reading.source.text != nullptr;
    ConnectionsByPID connections = rowsMayMove ? groupConnections(std::move(reading.connections))
                                               : groupConnections(reading.connections);
    std::unordered_map<int32_t, const NetProcess*> before;
    before.reserve(previous.processes.size());
    for (const NetProcess& process : previous.processes) {
        before.try_emplace(process.id, &process);
    }
    const double cpuCap = static_cast<double>(std::max(figures.processorCount, 1)) * 100.0;
    std::vector<NetProcess> merged;
    merged.reserve(reading.processes.size());
    std::unordered_map<int32_t, size_t> groupOwner;
    for (auto& row : reading.processes) {
        NetProcess process;
        process.id = row.pid;
        const auto app = figures.applications.find(row.pid);
        const RunningApplication* application =
            app == figures.applications.end() ? nullptr : &app->second;
        process.displayName = displayNameFor(row, application);
        process.name = process.displayName;
        if (application != nullptr && application->icon) {
            process.icon = application->icon;
        } else if (row.execPath && figures.iconForExecutablePath) {
            process.icon = figures.iconForExecutablePath(*row.execPath);
        }
        process.execPath = rowsMayMove ? std::move(row.execPath) : row.execPath;
        process.memBytes = row.memBytes;
        process.cpuNS = row.cpuNS;
        process.uid = row.uid;
        process.unit = row.unit;
        // The helper names the application its cgroup scope names; failing
        // that, the desktop entry whose program the process runs.
        process.appId = row.appId || application == nullptr ? row.appId : application->appId;
        process.container = row.container;
        process.startTime = row.startTime;
        process.script = row.script;
        // A pid reused by another program is a new process: nothing of the
        // old one's CPU time is its.
        const auto found = before.find(row.pid);
        const NetProcess* earlier =
            found != before.end() && sameProcess(found->second->key(), process.key())
                ? found->second
                : nullptr;
        const ProcessCPUSample sample{earlier ? earlier->cpuNS : 0, previous.time};
        process.cpuPercent = std::min(
            cpuPercentSince(earlier ? &sample : nullptr, process.cpuNS, reading.timestamp), cpuCap);
        const bool startedSince =
            previous.time > 0 && process.startTime && *process.startTime >= previous.time - 1;
        process.cpuUsedNS = grownSince(
            process.cpuNS, earlier ? std::optional(earlier->cpuNS) : std::nullopt, startedSince);
        process.gpuEngines = rowsMayMove ? std::move(row.gpuEngines) : row.gpuEngines;
        process.gpuMemoryBytes = row.gpuMemoryBytes;
        process.diskReadBytes = row.diskReadBytes;
        process.diskWriteBytes = row.diskWriteBytes;
        addGpuAndDiskUse(process, earlier, startedSince, reading.timestamp - previous.time);
        process.namespaceBytesIn = row.namespaceBytesIn;
        process.namespaceBytesOut = row.namespaceBytesOut;
        addNamespaceRates(process, earlier, reading.timestamp - previous.time);
        // Each group moves to its process; a pid listed twice copies it from
        // the first.
        if (auto group = connections.find(row.pid); group != connections.end()) {
            const auto [first, isFirst] = groupOwner.try_emplace(row.pid, merged.size());
            process.connections =
                isFirst ? std::move(group->second) : merged[first->second].connections;
        }
        merged.push_back(std::move(process));
    }
    return merged;
}

std::vector<InterfaceStat> mergeInterfaces(const HelperResponse& reading,
                                           const ReadingFrame& previous,
                                           const CompanionFigures& figures) {
    const InterfaceStatsByName before = interfaceStatsByName(previous.interfaces);
    std::vector<InterfaceStat> rows = computeInterfaceRates(reading, before, previous.time);
    for (InterfaceStat& row : rows) {
        if (const auto last = before.find(row.id); last != before.end()) {
            const auto grown = [](uint64_t now, uint64_t then) {
                return now >= then ? now - then : now;
            };
            row.used = {grown(row.bytesIn, last->second.bytesIn),
                        grown(row.bytesOut, last->second.bytesOut)};
        }
    }
    if (figures.classifyInterfaces) {
        figures.classifyInterfaces(rows);
    }
    return rows;
}

} // namespace

BuiltFrame buildFrame(HelperResponse& reading, const ReadingFrame& previous,
                      ConnectionCounterMemory& sockets, const CompanionFigures& figures) {
    auto frame = std::make_shared<ReadingFrame>();
    BuiltFrame built;
    frame->time = reading.timestamp;
    frame->helperFull = !reading.processes.empty() || !reading.connections.empty();
    frame->processes = mergeProcesses(reading, previous, figures);
    frame->otherTcpTotal = previous.otherTcpTotal;
    // A fallback reading has no sockets; the next real one pairs with the last.
    if (frame->helperFull) {
        EndedTcpSockets ended{&reading.endedConnections, std::nullopt, &previous.processes};
        if (reading.unattributedTcpBytesIn && reading.unattributedTcpBytesOut) {
            ended.unattributed = {*reading.unattributedTcpBytesIn,
                                  *reading.unattributedTcpBytesOut};
        }
        SocketUsage usage = applyConnectionRates(frame->processes, sockets, reading.timestamp,
                                                 figures.firstSightingsCount, ended);
        frame->interval = usage.other ? reading.timestamp - previous.time : 0;
        frame->otherTcpUsed = usage.unowned;
        frame->otherTcpTotal += usage.unowned;
        frame->endedSockets = std::move(usage.ended);
        frame->endedProcesses = std::move(usage.endedProcesses);
        built.otherTcpRate = usage.other;
        built.forgottenSockets = usage.forgotten;
    }
    sortProcesses(frame->processes);
    frame->interfaces = mergeInterfaces(reading, previous, figures);
    frame->networks = figures.networks;
    frame->system =
        buildSystemStats(reading, figures.cpuUsagePercent, figures.loadAverage1m, figures.local);
    frame->system.loadAverages = figures.loadAverages;
    carryOverAbsentReadings(frame->system, previous.system);
    frame->recentlyClosed = updateRecentlyClosed(previous.recentlyClosed, previous.processes,
                                                 frame->processes, figures.now);
    addFinalBytes(frame->recentlyClosed, reading.endedConnections);
    built.frame = std::move(frame);
    return built;
}

} // namespace korvel
