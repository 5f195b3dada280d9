#pragma once

#include "companion/app/network_pages.h"
#include "companion/app/overview_page.h"
#include "companion/app/processes_page.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/notification_center.h"

#include <gtkmm.h>

#include <array>
#include <functional>
#include <memory>
#include <string>

namespace korvel {

class KorvelManager;
class HostNames;

// What the live window reaches outside itself.
struct LiveWindowEnvironment {
    std::shared_ptr<KorvelManager> manager;
    platform::UserDefaults* defaults = nullptr;
    platform::NotificationCenter* notifications = nullptr;
    // Absolute time now.
    std::function<double()> now;
    std::function<void()> openSettings;
};

// The companion's live window: the tabs "overview", "processes",
// "connections" and "interfaces" (Alt+1…Alt+4), Refresh (F5, Ctrl+R) and the
// settings (Ctrl+,). It tells the engine when someone is looking
// ("Korvel.PopoverVisibilityChanged": shown and not minimised) and at which
// tab ("Korvel.PopoverTabChanged"), so the engine refreshes faster only
// then. Closing it (Ctrl+W) only hides it; the engine runs on. With a
// "menuBarMetric" other than "none" the title shows that metric.
class LiveWindow : public Gtk::Window {
public:
    static constexpr std::array<const char*, 4> kTabs = {"overview", "processes", "connections",
                                                         "interfaces"};

    explicit LiveWindow(LiveWindowEnvironment environment);
    ~LiveWindow() override;

    void showTab(const std::string& name);
    std::string currentTab() const;
    // Refresh: asks the engine for a reading now.
    void refreshNow();
    // The window manager's minimised state; the surface's state changes call it.
    void setMinimized(bool minimized);

    OverviewPage& overview() { return overview_; }
    ProcessesPage& processes() { return processes_; }
    InterfacesPage& interfaces() { return interfaces_; }
    Gtk::Button& refreshButton() { return refreshButton_; }

private:
    void postVisibility();
    void update();
    void updateTitle();
    void watchSurface();

    LiveWindowEnvironment env_;
    std::shared_ptr<HostNames> hostNames_;
    DataUsage usage_; // the overview's, the usage view's and the title's
    bool resolveHostnames_ = true;
    std::string metric_;
    bool minimized_ = false;
    bool postedVisible_ = false;
    uint64_t mergeObserver_ = 0;
    platform::DefaultsObserverToken defaultsObserver_;
    uint64_t trafficObserver_ = 0;
    sigc::connection surfaceState_;
    sigc::connection pendingUpdate_;

    Gtk::HeaderBar header_;
    Gtk::StackSwitcher switcher_;
    Gtk::Button refreshButton_;
    Gtk::Button settingsButton_;
    Gtk::Stack stack_;
    OverviewPage overview_;
    ProcessesPage processes_;
    ConnectionsPage connections_;
    InterfacesPage interfaces_;
};

} // namespace korvel
