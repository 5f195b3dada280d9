#pragma once

#include "companion/app/korvel_settings_view.h"

#include <gtkmm.h>

namespace korvel {

// The window of the application's settings command. Closing it only hides
// it; showing it again refreshes the login-item state.
class SettingsWindow : public Gtk::Window {
public:
    SettingsWindow(platform::UserDefaults& defaults, platform::NotificationCenter& notifications,
                   AutostartItem autostart, std::function<void()> onOpenPage);

    KorvelSettingsView& view() { return view_; }

private:
    KorvelSettingsView view_;
};

} // namespace korvel
