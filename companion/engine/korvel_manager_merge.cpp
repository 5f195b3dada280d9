#include "companion/engine/korvel_manager.h"

#include "companion/engine/command_notifications.h"
#include "companion/engine/settings_keys.h"
#include "companion/sampling/interface_selection.h"
#include "companion/sampling/network_path.h"
#include "platform/defaults/user_defaults.h"

#include <algorithm>
#include <unordered_map>

namespace korvel {
namespace {

// Readings the helper may skip keep their last published value.
void carryOverAbsentReadings(SystemStats& stats, const SystemStats& published) {
    if (!stats.gpuCoreCount) {
        stats.gpuCoreCount = published.gpuCoreCount;
    }
    if (!stats.gpuUsagePercent) {
        stats.gpuUsagePercent = published.gpuUsagePercent;
    }
    if (!stats.cpuTemperatureCelsius) {
        stats.cpuTemperatureCelsius = published.cpuTemperatureCelsius;
    }
    if (!stats.gpuTemperatureCelsius) {
        stats.gpuTemperatureCelsius = published.gpuTemperatureCelsius;
    }
}

} // namespace

std::optional<KorvelManager::AcceptedReading> KorvelManager::acceptReading(int64_t generation) {
    const auto sent = requestedAt_.find(generation);
    AcceptedReading accepted{
        sent == requestedAt_.end() ? lastReadingDuration_
                                   : env_.dispatch->monotonicNow() - sent->second.at,
        sent == requestedAt_.end() ? mergedShowSystem_ : sent->second.showSystem};
    // Answers to older requests are dropped below, or never come.
    requestedAt_.erase(requestedAt_.begin(), requestedAt_.upper_bound(generation));
    if (generation != 0 && generation != generation_ - 1) {
        return std::nullopt; // a newer refresh has started since this one
    }
    lastReadingDuration_ = accepted.duration;
    return accepted;
}

bool KorvelManager::recordDataMode(const HelperResponse& response) {
    const bool helperFull = !response.processes.empty() || !response.connections.empty();
    dataMode.set(helperFull ? DataAcquisitionMode::helperFull : DataAcquisitionMode::coreOnly);
    if (env_.publishes) {
        // Every merge writes this; the main loop must never wait on the store's lock.
        env_.defaults->setWithoutWaiting(settings::kHelperAvailable, helperFull);
    }
    return helperFull;
}

KorvelManager::MergedProcesses KorvelManager::mergeProcesses(HelperResponse& response,
                                                             const ProcessCPUSamples& cpuSamples) {
    const RunningApplicationsByPID applications = env_.runningApplications
                                                      ? env_.runningApplications(response.processes)
                                                      : RunningApplicationsByPID{};
    // A reply that brought its own bytes is written to the snapshot from
    // them, so its rows' strings may move into the model.
    const bool rowsMayMove = response.source.text != nullptr;
    ConnectionsByPID connections = rowsMayMove ? groupConnections(std::move(response.connections))
                                               : groupConnections(response.connections);

    const double cpuCap = static_cast<double>(std::max(env_.processorCount, 1)) * 100.0;
    MergedProcesses merged;
    merged.processes.reserve(response.processes.size());
    merged.cpuSamples.reserve(response.processes.size());
    std::unordered_map<int32_t, size_t> groupOwner;
    for (auto& row : response.processes) {
        NetProcess process;
        process.id = row.pid;
        const auto app = applications.find(row.pid);
        const RunningApplication* application = app == applications.end() ? nullptr : &app->second;
        process.displayName = displayNameFor(row, application);
        process.name = process.displayName;
        if (application != nullptr && application->icon) {
            process.icon = application->icon;
        } else if (row.execPath && env_.iconForExecutablePath) {
            process.icon = env_.iconForExecutablePath(*row.execPath);
        }
        process.execPath = rowsMayMove ? std::move(row.execPath) : row.execPath;
        const auto previous = cpuSamples.find(row.pid);
        process.cpuPercent =
            std::min(cpuPercentSince(previous == cpuSamples.end() ? nullptr : &previous->second,
                                     row.cpuNS, response.timestamp),
                     cpuCap);
        process.memBytes = row.memBytes;
        process.cpuNS = row.cpuNS;
        process.uid = row.uid;
        process.unit = row.unit;
        // The helper names the application its cgroup scope names; failing
        // that, the desktop entry whose program the process runs.
        process.appId = row.appId || application == nullptr ? row.appId : application->appId;
        process.container = row.container;
        process.startTime = row.startTime;
        // Each group moves to its process; a pid listed twice copies it from
        // the first.
        if (auto group = connections.find(row.pid); group != connections.end()) {
            const auto [first, isFirst] = groupOwner.try_emplace(row.pid, merged.processes.size());
            process.connections =
                isFirst ? std::move(group->second) : merged.processes[first->second].connections;
        }
        merged.cpuSamples[row.pid] = {row.cpuNS, response.timestamp};
        merged.processes.push_back(std::move(process));
    }
    return merged;
}

void KorvelManager::mergeSocketRates(std::vector<NetProcess>& merged,
                                     const HelperResponse& response, bool helperFull,
                                     std::optional<bool> showSystem) {
    // A fallback reading has no sockets; the next real one pairs with the last.
    if (!helperFull) {
        otherTcpRate.set(std::nullopt);
        return;
    }
    EndedTcpSockets ended{&response.endedConnections, std::nullopt};
    if (response.unattributedTcpBytesIn && response.unattributedTcpBytesOut) {
        ended.unattributed = {*response.unattributedTcpBytesIn, *response.unattributedTcpBytesOut};
    }
    // Once the system processes come or go, a socket first seen may be old.
    const auto other = applyConnectionRates(merged, connectionCounters_, response.timestamp,
                                            showSystem == mergedShowSystem_, ended);
    if (other) {
        otherTcpBytes.modify([&](ConnectionCounters& total) {
            total.bytesIn += other->bytesIn;
            total.bytesOut += other->bytesOut;
        });
    }
    otherTcpRate.set(other);
    mergedShowSystem_ = showSystem;
}

std::vector<InterfaceStat>
KorvelManager::mergeInterfaceRates(const HelperResponse& response,
                                   const InterfaceStatsByName& prevIfStats, double prevIfTime) {
    std::vector<InterfaceStat> rows = computeInterfaceRates(response, prevIfStats, prevIfTime);
    if (env_.linkFacts) {
        std::vector<std::string> routes;
        if (pathMonitor_) {
            for (const auto& interface : pathMonitor_->currentPath().interfaces) {
                routes.push_back(interface.name);
            }
        }
        interfaceClassifier_.classify(rows, routes);
    }
    return rows;
}

SystemStats KorvelManager::mergeSystemStats(const HelperResponse& response, CPUSample& cpu) {
    cpu = env_.sampleCPU(prevCPUTicks_);
    SystemStats stats = buildSystemStats(response, cpu.cpuUsagePercent, cpu.loadAverage1m,
                                         env_.readLocalSystemFigures());
    carryOverAbsentReadings(stats, systemStats.get());
    return stats;
}

void KorvelManager::publishProcessesAndStats(MergedProcesses merged, const SystemStats& stats,
                                             const HelperResponse& response, bool helperFull,
                                             double now) {
    RecentlyClosedByPID closed =
        updateRecentlyClosed(recentlyClosedByPID.get(), processes.get(), merged.processes, now);
    addFinalBytes(closed, response.endedConnections);
    recentlyClosedByPID.set(std::move(closed));
    endedConnections.set(helperFull ? response.endedConnections
                                    : std::vector<HelperConnectionData>());
    processes.set(std::move(merged.processes));
    systemStats.set(stats);
    cpuSamples_ = std::move(merged.cpuSamples);
}

void KorvelManager::appendHistories(const SystemStats& stats) {
    cpuHistory.modify(
        [&](History& h) { appendHistorySample(h, stats.cpuUsagePercent, kCPUHistoryRule); });
    if (stats.gpuUsagePercent) {
        gpuHistory.modify(
            [&](History& h) { appendHistorySample(h, stats.gpuUsagePercent, kGPUHistoryRule); });
    }
    const double established = static_cast<double>(establishedConnectionCount(processes.get()));
    connectionCountHistory.modify(
        [&](History& h) { appendHistorySample(h, established, kConnectionCountHistoryRule); });
}

void KorvelManager::publishInterfaces(std::vector<InterfaceStat> rows,
                                      const InterfaceStatsByName& prevIfStats, double timestamp,
                                      double now) {
    prevIfStats_ = interfaceStatsByName(rows);
    prevIfTime_ = timestamp;
    std::vector<InterfaceStat> sorted = rows;
    std::sort(sorted.begin(), sorted.end(),
              [](const InterfaceStat& a, const InterfaceStat& b) { return a.id < b.id; });
    allInterfaceStats.set(std::move(sorted));

    sessionStats.modify([&](TrafficSessionStats& session) {
        recordInterfaceActivity(rows, prevIfStats, now, interfaceLastActiveAt_, session);
    });
    if (pathMonitor_) {
        updateNetworkPath(pathMonitor_->currentPath());
    }
    interfaceStats.set(trafficEnabledSetting() ? orderedInterfaceStats(rows, interfaceLastActiveAt_)
                                               : std::vector<InterfaceStat>{});
}

bool KorvelManager::applyHelperResponse(HelperResponse& response, int64_t generation,
                                        const ProcessCPUSamples& cpuSamples,
                                        const InterfaceStatsByName& prevIfStats,
                                        double prevIfTime) {
    const std::optional<AcceptedReading> accepted = acceptReading(generation);
    if (!accepted) {
        return false;
    }
    const bool helperFull = recordDataMode(response);
    MergedProcesses merged = mergeProcesses(response, cpuSamples);
    mergeSocketRates(merged.processes, response, helperFull, accepted->showSystem);
    sortProcesses(merged.processes);
    std::vector<InterfaceStat> rows = mergeInterfaceRates(response, prevIfStats, prevIfTime);
    CPUSample cpu;
    const SystemStats stats = mergeSystemStats(response, cpu);

    const double now = env_.dispatch->now();
    publishProcessesAndStats(std::move(merged), stats, response, helperFull, now);
    appendHistories(stats);
    prevCPUTicks_ = cpu.ticks;
    publishInterfaces(std::move(rows), prevIfStats, response.timestamp, now);

    readingsMerged.set(readingsMerged.get() + 1);
    env_.notifications->post(notifications::kMenuBarDataRefreshed);
    return true;
}

} // namespace korvel

namespace korvel {

void KorvelManager::updateNetworkPath(const platform::netpath::NetworkPath& path) {
    networkPath.set(korvel::updateNetworkPath(path, allInterfaceStats.get(), pathState_,
                                              env_.primaryIPAddress));
}

} // namespace korvel
