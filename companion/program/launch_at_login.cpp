#include "companion/program/launch_at_login.h"

#include "companion/engine/settings_keys.h"
#include "platform/defaults/user_defaults.h"
#include "platform/log/report_line.h"

namespace korvel {

using platform::desktop::AutostartState;

AutostartItem AutostartItem::forCompanion(std::string program) {
    AutostartItem item;
    if (auto entry = platform::desktop::AutostartEntry::forApplication(kCompanionApplicationId)) {
        item.entry = std::move(*entry);
    }
    item.executable = std::move(program);
    return item;
}

void registerLaunchAtLoginIfNeeded(platform::UserDefaults& defaults, const AutostartItem& item) {
    const auto stored = defaults.object(settings::kLaunchAtLogin);
    if (stored && stored->is_boolean() && !stored->get<bool>()) {
        return;
    }
    const auto state = item.entry.state();
    if (state == AutostartState::hidden || state == AutostartState::disabled) {
        defaults.setBool(settings::kLaunchAtLogin, false);
        return;
    }
    std::string error;
    if (item.entry.path().empty()) {
        error = "no configuration directory is known";
    } else if (item.executable.empty()) {
        error = "the companion's own program could not be found";
    } else {
        const platform::desktop::AutostartFields fields{
            "Korvel Companion", "Background system and network monitor", {item.executable}};
        if (item.entry.write(fields, error)) {
            defaults.setBool(settings::kLaunchAtLogin, true);
            return;
        }
    }
    platform::log::reportLine(kLaunchAtLoginFailurePrefix + error);
}

bool registerAndCheckSetupPending(platform::UserDefaults& defaults,
                                  const AutostartItem& autostart) {
    registerLaunchAtLoginIfNeeded(defaults, autostart);
    return !defaults.boolFor(settings::kCompanionSetupCompleted,
                             settings::kCompanionSetupCompletedDefault);
}

void setLaunchAtLogin(platform::UserDefaults& defaults, const AutostartItem& item, bool on) {
    std::string error;
    const auto state = item.entry.state();
    if (!on || state == AutostartState::hidden || state == AutostartState::disabled) {
        if (!item.entry.remove(error)) {
            platform::log::reportLine(kLaunchAtLoginFailurePrefix + error);
        }
    }
    if (on) {
        defaults.setBool(settings::kLaunchAtLogin, true);
        registerLaunchAtLoginIfNeeded(defaults, item);
    }
    refreshLaunchAtLoginState(defaults, item);
}

void refreshLaunchAtLoginState(platform::UserDefaults& defaults, const AutostartItem& item) {
    defaults.setBool(settings::kLaunchAtLogin, item.entry.state() == AutostartState::enabled);
}

} // namespace korvel
