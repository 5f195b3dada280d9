#include "companion/app/settings_window.h"

#include "companion/app/localization.h"

namespace korvel {

SettingsWindow::SettingsWindow(platform::UserDefaults& defaults,
                               platform::NotificationCenter& notifications, AutostartItem autostart,
                               std::function<void()> onOpenPage)
    : view_(defaults, notifications, std::move(autostart), std::move(onOpenPage)) {
    set_title(localized("Korvel Companion Settings"));
    set_resizable(false);
    set_hide_on_close(true);
    set_child(view_);
}

} // namespace korvel
