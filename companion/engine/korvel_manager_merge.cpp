#include "companion/engine/korvel_manager.h"

#include "companion/engine/command_notifications.h"
#include "companion/engine/settings_keys.h"
#include "companion/sampling/interface_selection.h"
#include "companion/sampling/network_path.h"
#include "platform/defaults/user_defaults.h"
#include "platform/log/report_line.h"

#include <algorithm>

namespace korvel {

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

void KorvelManager::recordDataMode(const HelperResponse& response) {
    const bool helperFull = !response.processes.empty() || !response.connections.empty();
    dataMode.set(helperFull ? DataAcquisitionMode::helperFull : DataAcquisitionMode::coreOnly);
    if (env_.publishes) {
        // Every merge writes this; the main loop must never wait on the store's lock.
        env_.defaults->setWithoutWaiting(settings::kHelperAvailable, helperFull);
    }
}

CompanionFigures KorvelManager::companionFigures(const HelperResponse& response,
                                                 bool sameProcessesAsBefore) {
    CompanionFigures figures;
    if (env_.runningApplications) {
        figures.applications = env_.runningApplications(response.processes);
    }
    figures.iconForExecutablePath = env_.iconForExecutablePath;
    figures.processorCount = env_.processorCount;
    const CPUSample cpu = env_.sampleCPU(prevCPUTicks_);
    prevCPUTicks_ = cpu.ticks;
    figures.cpuUsagePercent = cpu.cpuUsagePercent;
    figures.loadAverage1m = cpu.loadAverage1m;
    figures.loadAverages = cpu.loadAverages;
    figures.local = env_.readLocalSystemFigures();
    figures.firstSightingsCount = sameProcessesAsBefore;
    figures.now = env_.dispatch->now();
    if (pathMonitor_) {
        figures.networks = networkAttachments(pathMonitor_->currentPath());
    }
    figures.classifyInterfaces = [this](std::vector<InterfaceStat>& rows) {
        classifyInterfaces(rows);
    };
    return figures;
}

void KorvelManager::classifyInterfaces(std::vector<InterfaceStat>& rows) {
    if (!env_.linkFacts) {
        return;
    }
    std::vector<std::string> routes;
    if (pathMonitor_) {
        for (const auto& interface : pathMonitor_->currentPath().interfaces) {
            routes.push_back(interface.name);
        }
    }
    interfaceClassifier_.classify(rows, routes);
}

void KorvelManager::publishFrame(const BuiltFrame& built) {
    const ReadingFrame& f = *built.frame;
    recentlyClosedByPID.set(f.recentlyClosed);
    otherTcpRate.set(f.helperFull ? built.otherTcpRate : std::nullopt);
    processes.set(ProcessList(built.frame));
    systemStats.set(f.system);
    forgottenSockets_ += built.forgottenSockets;
    if (built.forgottenSockets > 0 && forgottenSockets_ == built.forgottenSockets) {
        // Said once; a helper that keeps reporting that many is not news.
        platform::log::reportLine("Korvel: the engine remembers at most " +
                                  std::to_string(ConnectionCounterMemory::kMostRemembered) +
                                  " ended sockets; it forgot the oldest " +
                                  std::to_string(built.forgottenSockets));
    }
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

void KorvelManager::publishInterfaces(const ReadingFrame& frame, const ReadingFrame& previous,
                                      double now) {
    std::vector<InterfaceStat> sorted = frame.interfaces;
    std::sort(sorted.begin(), sorted.end(),
              [](const InterfaceStat& a, const InterfaceStat& b) { return a.id < b.id; });
    allInterfaceStats.set(std::move(sorted));

    const InterfaceStatsByName before = interfaceStatsByName(previous.interfaces);
    sessionStats.modify([&](TrafficSessionStats& session) {
        recordInterfaceActivity(frame.interfaces, before, now, interfaceLastActiveAt_, session);
    });
    if (pathMonitor_) {
        updateNetworkPath(pathMonitor_->currentPath());
    }
    interfaceStats.set(trafficEnabledSetting()
                           ? orderedInterfaceStats(frame.interfaces, interfaceLastActiveAt_)
                           : std::vector<InterfaceStat>{});
}

bool KorvelManager::applyHelperResponse(HelperResponse& response, int64_t generation) {
    const std::optional<AcceptedReading> accepted = acceptReading(generation);
    if (!accepted) {
        return false;
    }
    recordDataMode(response);
    const FramePointer previous = frame.get();
    // Once the system processes come or go, a socket first seen may be old.
    const bool sameProcesses = accepted->showSystem == mergedShowSystem_;
    const BuiltFrame built = buildFrame(response, *previous, connectionCounters_,
                                        companionFigures(response, sameProcesses));
    if (built.frame->helperFull) {
        mergedShowSystem_ = accepted->showSystem;
    }
    frame.set(built.frame);
    publishFrame(built);
    appendHistories(built.frame->system);
    publishInterfaces(*built.frame, *previous, env_.dispatch->now());

    readingsMerged.set(readingsMerged.get() + 1);
    env_.notifications->post(notifications::kMenuBarDataRefreshed);
    return true;
}

void KorvelManager::updateNetworkPath(const platform::netpath::NetworkPath& path) {
    networkPath.set(korvel::updateNetworkPath(path, allInterfaceStats.get(), pathState_,
                                              env_.primaryIPAddress));
}

} // namespace korvel
