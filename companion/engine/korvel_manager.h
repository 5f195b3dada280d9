#pragma once

#include "companion/engine/connection_rates.h"
#include "companion/engine/frame_builder.h"
#include "companion/engine/manager_environment.h"
#include "companion/engine/process_merge.h"
#include "companion/model/data_acquisition_mode.h"
#include "companion/model/history.h"
#include "companion/model/interface_stat.h"
#include "companion/model/net_process.h"
#include "companion/model/network_path_summary.h"
#include "companion/model/published.h"
#include "companion/model/reading_frame.h"
#include "companion/model/system_stats.h"
#include "companion/model/traffic_session_stats.h"
#include "companion/sampling/cpu_sampler.h"
#include "companion/sampling/interface_family.h"
#include "companion/sampling/interface_rates.h"
#include "companion/sampling/live_traffic.h"
#include "companion/sampling/network_path.h"
#include "shared/helper_response.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

// The companion's one model object. Asks the helper on a timer, merges each
// reading into the published fields below and publishes or removes the
// advanced snapshot. Every field is touched on the main queue only.
class KorvelManager : public std::enable_shared_from_this<KorvelManager> {
public:
    static constexpr double kFirstStartupRefreshDelay = 0.8;
    static constexpr double kSecondStartupRefreshDelay = 2.0;

    // Builds the start state and starts everything: path monitor, the
    // immediate refresh, the startup refreshes, both timers, the observers.
    // Call on the main queue.
    static std::shared_ptr<KorvelManager> create(ManagerEnvironment environment);
    ~KorvelManager();
    KorvelManager(const KorvelManager&) = delete;
    KorvelManager& operator=(const KorvelManager&) = delete;

    // The last merged reading as one immutable frame: what every face reads.
    Published<FramePointer> frame{std::make_shared<const ReadingFrame>()};
    // Published fields: observe them to follow the model.
    Published<ProcessList> processes; // the frame's own list

    Published<RecentlyClosedByPID> recentlyClosedByPID;
    Published<SystemStats> systemStats;
    Published<std::vector<InterfaceStat>> interfaceStats;
    Published<std::vector<InterfaceStat>> allInterfaceStats;
    Published<History> cpuHistory;
    Published<History> gpuHistory;
    Published<History> connectionCountHistory;
    Published<double> liveInboundRate{0};
    Published<double> liveOutboundRate{0};
    Published<History> inboundHistory;
    Published<History> outboundHistory;
    Published<TrafficSessionStats> sessionStats;
    // TCP bytes per second no listed process accounts for, where the helper tells them.
    Published<std::optional<OtherTcpRate>> otherTcpRate;
    Published<NetworkPathSummary> networkPath;
    Published<DataAcquisitionMode> dataMode{DataAcquisitionMode::coreOnly};
    Published<bool> companionPublishing{false};
    // How many readings have been merged: the one in-process signal that a
    // reading is in the model, for the views, the export and the history.
    Published<uint64_t> readingsMerged{0};
    Published<bool> isInteractionSuspended{false};

    void refresh();
    void scheduleRefreshTimer();
    void scheduleTrafficSamplerTimer();
    void scheduleStartupRefreshes();
    // False when the reading was stale and nothing changed. The rows of a
    // reply that carries its own bytes may be moved out.
    bool applyHelperResponse(HelperResponse& response, int64_t generation);
    void sampleLiveTraffic();
    void updateNetworkPath(const platform::netpath::NetworkPath& path);

    // For the status line and tests.
    int64_t generation() const { return generation_; }
    // Seconds from asking the helper to having its answer, for the last answer.
    double lastReadingDuration() const { return lastReadingDuration_; }
    double refreshPeriod() const;
    // The user's period in seconds ("autoRefreshInterval", clamped), whatever a
    // window asks for meanwhile.
    int64_t refreshIntervalSetting() const;
    double trafficSamplerPeriod() const;
    bool isPopoverVisible() const { return isPopoverVisible_; }
    const std::string& currentPopoverTab() const { return currentPopoverTab_; }

    // A viewer's own choices for this engine only, in place of the stored
    // settings, which stay untouched. No value goes back to the setting.
    void overrideRefreshPeriod(std::optional<double> seconds);
    void overrideShowSystemProcesses(std::optional<bool> show);

private:
    explicit KorvelManager(ManagerEnvironment environment);
    void start();
    void registerObservers();
    void publishSnapshotStep(const HelperResponse& response);
    // The steps of a merge, in the order they run.
    struct AcceptedReading {
        double duration = 0;
        std::optional<bool> showSystem;
    };
    std::optional<AcceptedReading> acceptReading(int64_t generation);
    void recordDataMode(const HelperResponse& response);
    CompanionFigures companionFigures(const HelperResponse& response, bool sameProcessesAsBefore);
    void classifyInterfaces(std::vector<InterfaceStat>& rows);
    void publishFrame(const BuiltFrame& built);
    void appendHistories(const SystemStats& stats);
    void publishInterfaces(const ReadingFrame& frame, const ReadingFrame& previous, double now);

    bool showSystemProcessesSetting() const;
    bool trafficEnabledSetting() const;

    ManagerEnvironment env_;
    std::unique_ptr<platform::DispatchTimer> timer_;
    std::unique_ptr<platform::DispatchTimer> trafficSamplerTimer_;
    double trafficSamplerTimerPeriod_ = 0;
    std::optional<CPUTicks> prevCPUTicks_;
    LiveTrafficState liveTraffic_;
    InterfaceLastActiveMap interfaceLastActiveAt_;
    NetworkPathState pathState_;
    InterfaceClassifier interfaceClassifier_{env_.linkFacts};
    std::unique_ptr<platform::netpath::PathMonitor> pathMonitor_;
    std::shared_ptr<platform::SerialQueue> pathMonitorQueue_;
    bool isPopoverVisible_ = false;
    std::string currentPopoverTab_ = "overview";
    int64_t generation_ = 0;
    // When each request still unanswered went out, and whether it asked for
    // the system processes, by generation.
    struct SentRequest {
        double at = 0;
        bool showSystem = false;
    };
    std::map<int64_t, SentRequest> requestedAt_;
    double lastReadingDuration_ = 0;
    ConnectionCounterMemory connectionCounters_;
    size_t forgottenSockets_ = 0;          // since it was last said
    std::optional<bool> mergedShowSystem_; // what the last merged reading asked for
    bool requestOpen_ = false;
    std::optional<double> refreshPeriodOverride_;
    std::optional<bool> showSystemProcessesOverride_;
};

} // namespace korvel
