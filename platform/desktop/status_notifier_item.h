#pragma once

#include <functional>
#include <memory>
#include <string>

namespace korvel::platform::desktop {

// A panel indicator through the StatusNotifierItem D-Bus interface
// (org.kde.StatusNotifierItem, shown by KDE Plasma, Xfce, Cinnamon and GNOME
// with the AppIndicator extension). It owns the name
// org.kde.StatusNotifierItem-<pid>-<n> and registers with the session's
// org.kde.StatusNotifierWatcher, now or whenever one appears. No bus or no
// watcher: nothing is shown and nothing fails. Main thread only; method
// calls arrive on the thread-default main context of the construction.
class StatusNotifierItem {
public:
    struct Content {
        std::string title;    // the item's Title and its label beside the icon
        std::string iconName; // a themed icon name
        // Optional 24×24 ARGB32 icon, network byte order, drawn in place of iconName.
        std::string iconPixels{};
    };

    // busAddress empty: the session bus. onActivate runs when the panel asks
    // to activate the item (a click).
    StatusNotifierItem(std::string id, Content content, std::function<void()> onActivate,
                       const std::string& busAddress = "");
    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    // Changes what the panel shows; an unchanged content sends nothing.
    void set(Content content);

    static constexpr int kIconSize = 24;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace korvel::platform::desktop
