#pragma once

#include "companion/app/data_plan_controls.h"
#include "companion/app/settings_controls.h"
#include "companion/program/launch_at_login.h"
#include "platform/defaults/user_defaults.h"

#include <gtkmm.h>

#include <functional>

namespace korvel {

// The settings window's content: the "Feature Mode" section saying whether
// the helper's process and connection details are available, following the
// "helperAvailable" setting as the engine rewrites it, and the settings a
// user can change, then the data plans. Each time it is shown it stores the
// autostart entry's state in "launchAtLogin" and reads how far back the
// history reaches and which networks it has seen.
class KorvelSettingsView : public Gtk::ScrolledWindow {
public:
    static constexpr int kWidth = 380;
    static constexpr int kMinimumHeight = 720;

    KorvelSettingsView(platform::UserDefaults& defaults,
                       platform::NotificationCenter& notifications, AutostartItem autostart,
                       std::function<void()> onOpenPage);
    ~KorvelSettingsView() override;

    // The section caption as shown: localised, then uppercased.
    const Gtk::Label& sectionCaption() const { return caption_; }
    const Gtk::Label& availability() const { return availability_; }
    const Gtk::Label& detail() const { return detail_; }
    Gtk::Button& pageButton() { return pageButton_; }
    SettingsControls& controls() { return controls_; }
    DataPlanControls& plans() { return plans_; }

private:
    void update();

    platform::UserDefaults& defaults_;
    AutostartItem autostart_;
    platform::DefaultsObserverToken observer_;

    Gtk::Box content_{Gtk::Orientation::VERTICAL, 18};
    Gtk::Box section_{Gtk::Orientation::VERTICAL, 6};
    Gtk::Label caption_;
    Gtk::Box card_{Gtk::Orientation::VERTICAL, 0};
    Gtk::Box availabilityRow_{Gtk::Orientation::HORIZONTAL, 8};
    Gtk::Label availabilityCaption_;
    Gtk::Label availability_;
    Gtk::Box detailBlock_{Gtk::Orientation::VERTICAL, 6};
    Gtk::Label detail_;
    Gtk::Button pageButton_;
    SettingsControls controls_;
    DataPlanControls plans_;
};

} // namespace korvel
