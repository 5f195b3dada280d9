#pragma once

#include "platform/desktop/autostart_entry.h"

#include <string>

namespace korvel::platform {
class UserDefaults;
}

namespace korvel {

// The application identifier: the autostart entry's name and the
// application's id on the session bus.
inline constexpr const char* kCompanionApplicationId = "qn.Korvel.companion";

inline constexpr const char* kLaunchAtLoginFailurePrefix =
    "Korvel Companion: failed to register launch at login: ";

// The companion's autostart entry: its autostart entry and the program it starts.
struct AutostartItem {
    // An empty path stands for "no configuration directory known".
    platform::desktop::AutostartEntry entry{""};
    // Absolute path of the program to start; empty when unknown.
    std::string executable;

    // $XDG_CONFIG_HOME/autostart/qn.Korvel.companion.desktop, starting the
    // given program (the public korvel-companion, also from the window program).
    static AutostartItem forCompanion(std::string program);
};

// At every launch while "launchAtLogin" is not a stored false: makes the
// entry start the companion at login and stores true. An entry the user
// switched off (hidden, or off in the desktop's settings) is never switched
// back on; that counts as not enabled and stores false. A failure leaves the
// setting as it was and writes one NSLog line.
void registerLaunchAtLoginIfNeeded(platform::UserDefaults& defaults, const AutostartItem& item);

// The launch's part that needs no window: registers the autostart entry and says
// whether the setup window would be shown now.
bool registerAndCheckSetupPending(platform::UserDefaults& defaults, const AutostartItem& autostart);

// The user's switch: on writes the entry (replacing one that was hidden or
// switched off), off deletes it; then stores what the entry says now. A
// failure writes one NSLog line.
void setLaunchAtLogin(platform::UserDefaults& defaults, const AutostartItem& item, bool on);

// Stores whether the entry is enabled now: the file exists and is neither
// hidden nor switched off.
void refreshLaunchAtLoginState(platform::UserDefaults& defaults, const AutostartItem& item);

} // namespace korvel
