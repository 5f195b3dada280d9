#pragma once

#include "companion/app/live_window.h"
#include "companion/app/settings_window.h"
#include "companion/app/setup_window.h"
#include "companion/program/launch_at_login.h"

#include <functional>
#include <memory>

namespace korvel {

class KorvelManager;

// What the delegate reaches outside itself; the application wires the live
// ones, tests their own.
struct AppDelegateEnvironment {
    std::function<std::shared_ptr<KorvelManager>()> makeManager;
    platform::UserDefaults* defaults = nullptr;
    // Where the windows post their commands to the engine.
    platform::NotificationCenter* notifications = nullptr;
    // Absolute time now.
    std::function<double()> now;
    AutostartItem autostart;
    // Ends the application.
    std::function<void()> terminate;
    // Hands each new window to the application, so its shortcuts reach it.
    std::function<void(Gtk::Window&)> adoptWindow;
    std::function<void()> openSupportPage;
};

// Runs the launch: creates the one manager, registers the autostart entry and,
// until the setup is completed, shows the setup window. Owns the windows.
// Main thread only.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
public:
    static std::shared_ptr<AppDelegate> create(AppDelegateEnvironment environment);

    void applicationDidFinishLaunching();
    // Registers the autostart entry, then shows the setup window unless
    // "companionSetupCompleted" is true.
    void presentSetupIfNeeded();
    // Stores "companionSetupCompleted" true and closes the setup window.
    void completeSetup();
    // The settings command: opens the settings window or brings it forward.
    void showSettingsWindow();
    // `korvel-companion --window` and the desktop entry: opens the live
    // window or brings it forward; while the setup window shows, once that
    // goes.
    void showLiveWindow();
    // The live window on the usage view of a network (by key, UUID or name).
    void showUsage(const std::string& network);

    const std::shared_ptr<KorvelManager>& manager() const { return manager_; }
    SetupWindow* setupWindow() const { return setupWindow_.get(); }
    SettingsWindow* settingsWindow() const { return settingsWindow_.get(); }
    LiveWindow* liveWindow() const { return liveWindow_.get(); }

private:
    explicit AppDelegate(AppDelegateEnvironment environment);

    AppDelegateEnvironment env_;
    std::shared_ptr<KorvelManager> manager_;
    std::shared_ptr<SetupWindow> setupWindow_;
    std::shared_ptr<SettingsWindow> settingsWindow_;
    std::shared_ptr<LiveWindow> liveWindow_;
    bool liveWindowWaits_ = false; // asked for while the setup window showed
};

} // namespace korvel
