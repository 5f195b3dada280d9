#pragma once

#include "companion/app/background_read.h"

#include "companion/program/launch_at_login.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/notification_center.h"

#include <gtkmm.h>

#include <cstdint>
#include <map>
#include <string>

namespace korvel {

// The settings a user can change, each control bound to its key: it shows
// the stored value (the key's default when absent) and follows a value
// written elsewhere, such as `korvel-companion defaults write`, while open.
class SettingsControls : public Gtk::Box {
public:
    SettingsControls(platform::UserDefaults& defaults, platform::NotificationCenter& notifications,
                     AutostartItem autostart);
    ~SettingsControls() override;

    Gtk::SpinButton& refreshInterval() { return number("autoRefreshInterval"); }
    // The field of an integer key ("autoRefreshInterval", "historyMaxMegabytes").
    Gtk::SpinButton& number(const std::string& key) { return *spins_.at(key); }
    // The switch of a Boolean key ("showSystemProcesses", "launchAtLogin", …).
    Gtk::Switch& toggle(const std::string& key) { return *switches_.at(key); }
    Gtk::DropDown& panelMetric() { return metric_; }
    const Gtk::Label& textfileDirectory() const { return directoryLabel_; }
    // What the folder chooser calls; empty turns the export off.
    void setTextfileDirectory(const std::string& directory);
    // How far back the recorded history reaches in each tier, read off the
    // main loop and shown when known.
    void readHistorySpan();
    const Gtk::Label& historySpan() const { return historySpan_; }

private:
    void load();
    void addRow(const std::string& caption, Gtk::Widget& control);
    void addSwitch(const char* key, const std::string& caption, bool fallback);
    void addNumber(const char* key, const std::string& caption, int64_t fallback, int64_t lowest,
                   int64_t highest);
    void chooseDirectory();

    platform::UserDefaults& defaults_;
    platform::NotificationCenter& notifications_;
    AutostartItem autostart_;
    platform::DefaultsObserverToken observer_;
    bool loading_ = false;

    Gtk::Label caption_;
    Gtk::Box card_{Gtk::Orientation::VERTICAL, 0};
    struct NumberRange {
        int64_t fallback, lowest, highest;
    };
    std::map<std::string, Gtk::SpinButton*> spins_;
    std::map<std::string, NumberRange> ranges_;
    std::map<std::string, Gtk::Switch*> switches_;
    std::map<std::string, bool> switchDefaults_;
    Gtk::DropDown metric_;
    Gtk::Box directoryBox_{Gtk::Orientation::HORIZONTAL, 6};
    Gtk::Label directoryLabel_;
    Gtk::Button chooseButton_;
    Gtk::Button clearButton_;
    Glib::RefPtr<Gtk::FileChooserNative> chooser_;
    Gtk::Label historySpan_;
    BackgroundRead<std::string> spanRead_;
};

} // namespace korvel
