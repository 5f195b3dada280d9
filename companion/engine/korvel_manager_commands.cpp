#include "companion/engine/korvel_manager.h"

#include "companion/engine/command_notifications.h"

namespace korvel {

void KorvelManager::registerObservers() {
    using platform::Notification;
    std::weak_ptr<KorvelManager> weak = weak_from_this();
    platform::Dispatch* dispatch = env_.dispatch;
    auto& center = *env_.notifications;

    // Each action runs in a block of its own on the main queue, after the
    // observer has returned, and only while the manager exists.
    const auto later = [weak, dispatch](std::function<void(KorvelManager&)> action) {
        dispatch->onMain([weak, action = std::move(action)] {
            if (auto self = weak.lock()) {
                action(*self);
            }
        });
    };

    center.addObserver(notifications::kRefreshNow, [later](const Notification&) {
        later([](KorvelManager& m) { m.refresh(); });
    });
    center.addObserver(notifications::kRefreshIntervalChanged, [later](const Notification&) {
        later([](KorvelManager& m) {
            m.timer_.reset();
            m.scheduleRefreshTimer();
        });
    });
    // Each merge reads the sampler's period again (the metric may have
    // changed). The same period keeps its deadline: merges as frequent as its
    // ticks would otherwise push every tick back and starve it.
    center.addObserver(notifications::kMenuBarDataRefreshed, [later](const Notification&) {
        later([](KorvelManager& m) {
            if (m.trafficSamplerPeriod() != m.trafficSamplerTimerPeriod_) {
                m.trafficSamplerTimer_.reset();
                m.scheduleTrafficSamplerTimer();
            }
        });
    });
    center.addObserver(notifications::kPopoverVisibilityChanged, [later](const Notification& n) {
        const auto visible = n.boolValue("isVisible");
        if (!visible) {
            return;
        }
        later([visible = *visible](KorvelManager& m) {
            m.isPopoverVisible_ = visible;
            m.timer_.reset();
            m.scheduleRefreshTimer();
            m.trafficSamplerTimer_.reset();
            m.scheduleTrafficSamplerTimer();
            if (visible) {
                m.refresh();
            }
        });
    });
    center.addObserver(notifications::kPopoverTabChanged, [later](const Notification& n) {
        auto tab = n.stringValue("tab");
        if (!tab) {
            return;
        }
        later([tab = std::move(*tab)](KorvelManager& m) {
            m.currentPopoverTab_ = tab;
            m.timer_.reset();
            m.scheduleRefreshTimer();
        });
    });
    center.addObserver(notifications::kOverviewDragStateChanged, [later](const Notification& n) {
        const auto dragging = n.boolValue("isDragging");
        if (!dragging) {
            return;
        }
        later([dragging = *dragging](KorvelManager& m) {
            m.isInteractionSuspended.set(dragging);
            if (!dragging) {
                m.refresh();
            }
        });
    });
}

} // namespace korvel
