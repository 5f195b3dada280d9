#pragma once

#include "companion/engine/process_merge.h"
#include "companion/sampling/cpu_sampler.h"
#include "companion/sampling/interface_family.h"
#include "companion/sampling/live_traffic.h"
#include "companion/sampling/system_stats_builder.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/notification_center.h"
#include "platform/netpath/path_monitor.h"
#include "shared/helper_response.h"

#include <functional>
#include <memory>

namespace korvel::platform {
class UserDefaults;
}

namespace korvel {

// Everything the manager reaches outside itself. live() wires the real
// machine; tests replace what they need to control.
struct ManagerEnvironment {
    platform::Dispatch* dispatch = nullptr;
    platform::NotificationCenter* notifications = nullptr;
    platform::UserDefaults* defaults = nullptr;

    // One reading from the helper, or the local fallback; completion runs
    // exactly once, on any thread.
    std::function<void(bool showSystem, std::function<void(HelperResponse)>)> fetchData;
    std::function<void(const HelperResponse&)> writeAdvancedSnapshot;
    std::function<void()> removeAdvancedSnapshot;

    std::function<CPUSample(const std::optional<CPUTicks>&)> sampleCPU;
    std::function<LocalSystemFigures()> readLocalSystemFigures;
    int processorCount = 1;
    std::function<RunningApplicationsByPID(const std::vector<HelperProcessData>&)>
        runningApplications;
    std::function<std::optional<ProcessIcon>(const std::string& execPath)> iconForExecutablePath;
    std::function<std::optional<std::string>(const std::string& interfaceName)> primaryIPAddress;
    LiveTrafficSources liveTrafficSources;
    // What each interface is; null leaves the family to the interface's name.
    InterfaceClassifier::Reader linkFacts;
    // No monitor (null) keeps the path at its start value.
    std::function<std::unique_ptr<platform::netpath::PathMonitor>()> makePathMonitor;

    // False for a viewer running beside the companion: its engine writes no
    // snapshot, removes none and stores no settings.
    bool publishes = true;
    // A tick while a request is open makes no new one. Without this a helper
    // slower than the period never gets merged: each reply arrives after a
    // newer request has started and is dropped as stale.
    bool oneRequestAtATime = false;

    static ManagerEnvironment live();
};

} // namespace korvel
