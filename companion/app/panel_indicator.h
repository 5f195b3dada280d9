#pragma once

#include "companion/app/data_usage.h"
#include "platform/defaults/user_defaults.h"
#include "platform/desktop/status_notifier_item.h"

#include <functional>
#include <memory>
#include <string>

namespace korvel {

class KorvelManager;

// The panel metric as a panel indicator: while "menuBarMetric" is one of the
// metrics, a StatusNotifierItem whose title follows that figure live, with a
// level bar in green, orange or red as its icon when "menuBarColorEnabled"
// is on. Activating it opens the live window. Main thread only.
class PanelIndicator {
public:
    // busAddress empty: the session bus.
    PanelIndicator(std::shared_ptr<KorvelManager> manager, platform::UserDefaults& defaults,
                   std::function<void()> openWindow, std::string busAddress = "");
    ~PanelIndicator();
    PanelIndicator(const PanelIndicator&) = delete;
    PanelIndicator& operator=(const PanelIndicator&) = delete;

    // The indicator while a metric is chosen, else null.
    platform::desktop::StatusNotifierItem* item() const { return item_.get(); }

private:
    void follow();
    platform::desktop::StatusNotifierItem::Content content() const;

    std::shared_ptr<KorvelManager> manager_;
    platform::UserDefaults& defaults_;
    std::function<void()> openWindow_;
    std::string busAddress_;
    std::string metric_;
    bool colour_ = false;
    DataUsage usage_; // read only while the metric is "dataUsage"
    std::unique_ptr<platform::desktop::StatusNotifierItem> item_;
    platform::DefaultsObserverToken observer_;
    uint64_t mergeObserver_ = 0;
    uint64_t trafficObserver_ = 0;
};

// A 24×24 ARGB32 bar filled to the level, green below 60 %, orange below
// 85 %, red above.
std::string levelIconPixels(double level);

} // namespace korvel
