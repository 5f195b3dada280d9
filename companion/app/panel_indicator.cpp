#include "companion/app/panel_indicator.h"

#include "companion/app/localization.h"
#include "companion/app/panel_metric.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"

namespace korvel {

using platform::desktop::StatusNotifierItem;

std::string levelIconPixels(double level) {
    constexpr int size = StatusNotifierItem::kIconSize;
    const uint32_t fill = level < 0.6 ? 0xff33d17a : level < 0.85 ? 0xffff7800 : 0xffe01b24;
    constexpr uint32_t frame = 0xff808080, empty = 0x40808080;
    const int filled = static_cast<int>(level * (size - 6) + 0.5);
    std::string pixels;
    pixels.reserve(4u * size * size);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            uint32_t argb = 0;
            if (x >= 6 && x < size - 6 && y >= 2 && y < size - 2) {
                const bool border = x == 6 || x == size - 7 || y == 2 || y == size - 3;
                argb = border ? frame : (size - 3 - y <= filled ? fill : empty);
            }
            for (int shift = 24; shift >= 0; shift -= 8) {
                pixels.push_back(static_cast<char>((argb >> shift) & 0xff));
            }
        }
    }
    return pixels;
}

PanelIndicator::PanelIndicator(std::shared_ptr<KorvelManager> manager,
                               platform::UserDefaults& defaults, std::function<void()> openWindow,
                               std::string busAddress)
    : manager_(std::move(manager)), defaults_(defaults), openWindow_(std::move(openWindow)),
      busAddress_(std::move(busAddress)), usage_(defaults) {
    follow();
    observer_ = defaults_.addObserver("", [this](const std::string& key) {
        if (key == settings::kMenuBarMetric || key == settings::kMenuBarColorEnabled) {
            follow();
        }
    });
    // After each merge, and each sampler tick for the traffic figures.
    const auto refresh = [this] {
        if (item_) {
            if (metric_ == "dataUsage") {
                usage_.refresh();
            }
            item_->set(content());
        }
    };
    mergeObserver_ = manager_->sessionStats.observe([refresh](const auto&) { refresh(); });
    trafficObserver_ = manager_->outboundHistory.observe([refresh](const auto&) { refresh(); });
}

PanelIndicator::~PanelIndicator() {
    defaults_.removeObserver(observer_);
    manager_->sessionStats.removeObserver(mergeObserver_);
    manager_->outboundHistory.removeObserver(trafficObserver_);
}

void PanelIndicator::follow() {
    metric_ = defaults_.stringFor(settings::kMenuBarMetric, settings::kMenuBarMetricDefault);
    colour_ =
        defaults_.boolFor(settings::kMenuBarColorEnabled, settings::kMenuBarColorEnabledDefault);
    if (metric_ == "dataUsage") {
        usage_.refresh();
    }
    if (!panelMetricText(metric_, *manager_)) {
        item_.reset();
    } else if (item_) {
        item_->set(content());
    } else {
        item_ = std::make_unique<StatusNotifierItem>("korvel-companion", content(), openWindow_,
                                                     busAddress_);
    }
}

StatusNotifierItem::Content PanelIndicator::content() const {
    StatusNotifierItem::Content content;
    content.title =
        panelMetricText(metric_, *manager_, &usage_).value_or(localized("Korvel Companion"));
    content.iconName = "qn.Korvel.companion";
    if (colour_) {
        if (const auto level = panelMetricLevel(metric_, *manager_, &usage_)) {
            content.iconPixels = levelIconPixels(*level);
        }
    }
    return content;
}

} // namespace korvel
