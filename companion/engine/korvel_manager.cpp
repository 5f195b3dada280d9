#include "companion/engine/korvel_manager.h"

#include "companion/engine/settings_keys.h"
#include "companion/engine/timer_periods.h"
#include "platform/defaults/user_defaults.h"

#include <algorithm>

namespace korvel {

std::shared_ptr<KorvelManager> KorvelManager::create(ManagerEnvironment environment) {
    std::shared_ptr<KorvelManager> manager(new KorvelManager(std::move(environment)));
    manager->start();
    return manager;
}

KorvelManager::KorvelManager(ManagerEnvironment environment)
    : systemStats(makeInitialSystemStats()), env_(std::move(environment)) {}

KorvelManager::~KorvelManager() {
    if (pathMonitor_) {
        pathMonitor_->cancel();
    }
    trafficSamplerTimer_.reset();
    timer_.reset();
}

void KorvelManager::start() {
    pathMonitorQueue_ = env_.dispatch->makeSerialQueue("korvel.path-monitor");
    if (env_.makePathMonitor) {
        pathMonitor_ = env_.makePathMonitor();
    }
    if (pathMonitor_) {
        // The monitor's thread hands each path to the path-monitor queue,
        // which hops to the main queue before touching the model.
        std::weak_ptr<KorvelManager> weak = weak_from_this();
        platform::Dispatch* dispatch = env_.dispatch;
        pathMonitor_->setUpdateHandler([weak, dispatch](platform::netpath::NetworkPath path) {
            dispatch->onMain([weak, path = std::move(path)] {
                if (auto self = weak.lock()) {
                    self->updateNetworkPath(path);
                }
            });
        });
        auto queue = pathMonitorQueue_;
        pathMonitor_->start([queue](std::function<void()> work) { queue->async(std::move(work)); });
    }
    refresh();
    scheduleStartupRefreshes();
    scheduleRefreshTimer();
    scheduleTrafficSamplerTimer();
    registerObservers();
}

int64_t KorvelManager::refreshIntervalSetting() const {
    // Clamped on read; the stored value is the user's and stays as it is.
    return std::clamp(env_.defaults->integerFor(settings::kAutoRefreshInterval,
                                                settings::kAutoRefreshIntervalDefault),
                      settings::kAutoRefreshIntervalMinimum, settings::kAutoRefreshIntervalMaximum);
}

bool KorvelManager::showSystemProcessesSetting() const {
    if (showSystemProcessesOverride_) {
        return *showSystemProcessesOverride_;
    }
    return env_.defaults->boolFor(settings::kShowSystemProcesses,
                                  settings::kShowSystemProcessesDefault);
}

bool KorvelManager::trafficEnabledSetting() const {
    return env_.defaults->boolFor(settings::kTrafficEnabled, settings::kTrafficEnabledDefault);
}

double KorvelManager::refreshPeriod() const {
    if (refreshPeriodOverride_) {
        return *refreshPeriodOverride_;
    }
    return refreshTimerPeriod(isPopoverVisible_, currentPopoverTab_, refreshIntervalSetting());
}

double KorvelManager::trafficSamplerPeriod() const {
    const std::string metric =
        env_.defaults->stringFor(settings::kMenuBarMetric, settings::kMenuBarMetricDefault);
    return korvel::trafficSamplerPeriod(isPopoverVisible_, metric, trafficEnabledSetting());
}

void KorvelManager::refresh() {
    if (isInteractionSuspended.get() || (env_.oneRequestAtATime && requestOpen_)) {
        return;
    }
    requestOpen_ = true;
    const int64_t gen = generation_++;
    const bool showSystem = showSystemProcessesSetting();
    requestedAt_[gen] = {env_.dispatch->monotonicNow(), showSystem};
    std::weak_ptr<KorvelManager> weak = weak_from_this();
    platform::Dispatch* dispatch = env_.dispatch;
    env_.fetchData(showSystem, [weak, dispatch, gen](HelperResponse response) mutable {
        dispatch->onMain([weak, gen, response = std::move(response)]() mutable {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->requestOpen_ = false;
            // Only what was merged is published: a stale reading (a timed-out
            // request's fallback too) would turn the snapshot back in time.
            if (self->applyHelperResponse(response, gen)) {
                self->publishSnapshotStep(response);
            }
        });
    });
}

void KorvelManager::overrideRefreshPeriod(std::optional<double> seconds) {
    refreshPeriodOverride_ = seconds;
    scheduleRefreshTimer();
}

void KorvelManager::overrideShowSystemProcesses(std::optional<bool> show) {
    showSystemProcessesOverride_ = show;
}

void KorvelManager::publishSnapshotStep(const HelperResponse& response) {
    if (!env_.publishes) {
        return;
    }
    if (dataMode.get() == DataAcquisitionMode::helperFull) {
        env_.writeAdvancedSnapshot(response);
        companionPublishing.set(true);
    } else {
        env_.removeAdvancedSnapshot();
        companionPublishing.set(false);
    }
}

void KorvelManager::scheduleStartupRefreshes() {
    std::weak_ptr<KorvelManager> weak = weak_from_this();
    for (double delay : {kFirstStartupRefreshDelay, kSecondStartupRefreshDelay}) {
        env_.dispatch->onMainAfter(delay, [weak] {
            if (auto self = weak.lock()) {
                self->refresh();
            }
        });
    }
}

void KorvelManager::scheduleRefreshTimer() {
    std::weak_ptr<KorvelManager> weak = weak_from_this();
    timer_ = env_.dispatch->mainRepeatingTimer(refreshPeriod(), [weak] {
        if (auto self = weak.lock()) {
            self->refresh();
        }
    });
}

void KorvelManager::scheduleTrafficSamplerTimer() {
    std::weak_ptr<KorvelManager> weak = weak_from_this();
    trafficSamplerTimerPeriod_ = trafficSamplerPeriod();
    trafficSamplerTimer_ = env_.dispatch->mainRepeatingTimer(trafficSamplerTimerPeriod_, [weak] {
        if (auto self = weak.lock()) {
            self->sampleLiveTraffic();
        }
    });
}

void KorvelManager::sampleLiveTraffic() {
    const LiveTrafficInputs inputs{isInteractionSuspended.get(), trafficEnabledSetting(),
                                   isPopoverVisible_, currentPopoverTab_};
    const auto update = korvel::sampleLiveTraffic(liveTraffic_, inputs, allInterfaceStats.get(),
                                                  env_.liveTrafficSources);
    if (!update) {
        return;
    }
    liveInboundRate.set(update->liveInboundRate);
    liveOutboundRate.set(update->liveOutboundRate);
    if (update->appendToHistories) {
        inboundHistory.modify([&](History& h) {
            appendHistorySample(h, update->liveInboundRate, kTrafficHistoryRule);
        });
        outboundHistory.modify([&](History& h) {
            appendHistorySample(h, update->liveOutboundRate, kTrafficHistoryRule);
        });
    }
}

} // namespace korvel
