#include "companion/app/app_delegate.h"

#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"

#include <utility>

namespace korvel {
namespace {

// Writes the flag even when the delegate is gone; closes its window if not.
void completeSetup(platform::UserDefaults& defaults, const std::weak_ptr<AppDelegate>& weak) {
    defaults.setBool(settings::kCompanionSetupCompleted, true);
    if (auto delegate = weak.lock()) {
        delegate->completeSetup();
    }
}

} // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(AppDelegateEnvironment environment) {
    return std::shared_ptr<AppDelegate>(new AppDelegate(std::move(environment)));
}

AppDelegate::AppDelegate(AppDelegateEnvironment environment) : env_(std::move(environment)) {
    if (!env_.adoptWindow) {
        env_.adoptWindow = [](Gtk::Window&) {};
    }
}

void AppDelegate::applicationDidFinishLaunching() {
    manager_ = env_.makeManager();
    presentSetupIfNeeded();
}

void AppDelegate::presentSetupIfNeeded() {
    if (!registerAndCheckSetupPending(*env_.defaults, env_.autostart)) {
        return;
    }
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    auto* defaults = env_.defaults;
    setupWindow_ = std::make_shared<SetupWindow>(
        manager_, [defaults, weak] { korvel::completeSetup(*defaults, weak); },
        [terminate = env_.terminate] { terminate(); }, env_.openSupportPage);
    env_.adoptWindow(*setupWindow_);
    setupWindow_->signal_hide().connect([weak] {
        if (auto self = weak.lock(); self && std::exchange(self->liveWindowWaits_, false)) {
            self->showLiveWindow();
        }
    });
    // No parent and no position: the window manager places a new window,
    // centred by the common ones.
    setupWindow_->present();
}

void AppDelegate::completeSetup() {
    env_.defaults->setBool(settings::kCompanionSetupCompleted, true);
    if (!setupWindow_) {
        return;
    }
    setupWindow_->close();
    // The button that asked for this is still inside its click handler:
    // let go of the window once that has returned.
    Glib::signal_idle().connect_once([released = std::move(setupWindow_)] {});
}

void AppDelegate::showSettingsWindow() {
    if (!settingsWindow_) {
        settingsWindow_ = std::make_shared<SettingsWindow>(*env_.defaults, *env_.notifications,
                                                           env_.autostart, env_.openSupportPage);
        env_.adoptWindow(*settingsWindow_);
    }
    settingsWindow_->present();
}

void AppDelegate::showLiveWindow() {
    // The setup window comes alone and the live window once it is answered
    // or closed: which of two new windows goes on top is the window
    // manager's choice, and either one covering the other hides something.
    if (setupWindow_ && setupWindow_->get_visible()) {
        liveWindowWaits_ = true;
        setupWindow_->present();
        return;
    }
    if (!liveWindow_) {
        LiveWindowEnvironment env;
        env.manager = manager_;
        env.defaults = env_.defaults;
        env.notifications = env_.notifications;
        env.now = env_.now;
        env.openSettings = [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->showSettingsWindow();
            }
        };
        liveWindow_ = std::make_shared<LiveWindow>(std::move(env));
        env_.adoptWindow(*liveWindow_);
    }
    liveWindow_->present();
}

void AppDelegate::showUsage(const std::string& network) {
    showLiveWindow();
    if (liveWindow_) {
        liveWindow_->interfaces().showUsage(network);
        liveWindow_->showTab("interfaces");
    }
}

} // namespace korvel
