#include "companion/app/settings_controls.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/archive/history_location.h"
#include "companion/archive/history_query.h"
#include "companion/engine/command_notifications.h"
#include "companion/engine/settings_keys.h"

#include <algorithm>
#include <ctime>

namespace korvel {
namespace {

// The panel metric's values, as the menu names them.
const char* metricTitle(const char* value) {
    static const std::map<std::string, const char*> titles = {
        {"none", translatable("None")},
        {"network", translatable("Network rates")},
        {"cpu", translatable("CPU load")},
        {"gpu", translatable("GPU load")},
        {"memory", translatable("Memory used")},
        {"disk", translatable("Disk used")},
        {"battery", translatable("Battery")},
        {"cpuTemp", translatable("CPU temperature")},
        {"gpuTemp", translatable("GPU temperature")},
        {"dataUsage", translatable("Data used this cycle")}};
    return titles.at(value);
}

// How far back each tier of the recorded history reaches, a line per tier.
std::string historySpanText() {
    static constexpr const char* kSince[] = {
        translatable("Readings since"), translatable("Minutes since"), translatable("Hours since")};
    const auto place = history::historyPlace();
    std::string error;
    auto db = place ? history::openHistoryForReading(*place, error) : std::nullopt;
    std::string text;
    for (size_t tier = 0; db && tier < std::size(kSince); ++tier) {
        if (const auto oldest = history::oldestKept(*db)[tier]) {
            const auto t = static_cast<std::time_t>(*oldest);
            std::tm local{};
            localtime_r(&t, &local);
            char when[32];
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
            text += (text.empty() ? "" : "\n") + localized(kSince[tier]) + " " + when;
        }
    }
    return text.empty() ? localized("Nothing recorded yet") : text;
}

} // namespace

SettingsControls::SettingsControls(platform::UserDefaults& defaults,
                                   platform::NotificationCenter& notifications,
                                   AutostartItem autostart)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 6), defaults_(defaults), notifications_(notifications),
      autostart_(std::move(autostart)),
      spanRead_([this](const std::string& text) { historySpan_.set_text(text); }) {
    style::setSectionCaption(caption_, localized("Settings"));
    style::makeCard(card_);
    append(caption_);
    append(card_);

    addNumber(settings::kAutoRefreshInterval, localized("Refresh every (seconds)"),
              settings::kAutoRefreshIntervalDefault, settings::kAutoRefreshIntervalMinimum,
              settings::kAutoRefreshIntervalMaximum);
    addSwitch(settings::kShowSystemProcesses, localized("Show system processes"),
              settings::kShowSystemProcessesDefault);
    addSwitch(settings::kResolveHostnames, localized("Resolve host names"),
              settings::kResolveHostnamesDefault);
    addSwitch(settings::kTrafficEnabled, localized("Sample network traffic"),
              settings::kTrafficEnabledDefault);
    addSwitch(settings::kShowListeningPorts, localized("Show listening ports"),
              settings::kShowListeningPortsDefault);
    addSwitch(settings::kLaunchAtLogin, localized("Start at login"),
              settings::kLaunchAtLoginDisplayDefault);

    std::vector<Glib::ustring> titles;
    for (const char* value : settings::kMenuBarMetricValues) {
        titles.push_back(localized(metricTitle(value)));
    }
    metric_.set_model(Gtk::StringList::create(titles));
    metric_.property_selected().signal_changed().connect([this] {
        const guint index = metric_.get_selected();
        if (!loading_ && index < settings::kMenuBarMetricValues.size()) {
            defaults_.setString(settings::kMenuBarMetric, settings::kMenuBarMetricValues[index]);
        }
    });
    addRow(localized("Panel metric (in the window title)"), metric_);
    addSwitch(settings::kMenuBarColorEnabled, localized("Colour in the panel metric"),
              settings::kMenuBarColorEnabledDefault);
    addSwitch(settings::kHistoryEnabled, localized("Keep a history of processes and endpoints"),
              settings::kHistoryEnabledDefault);
    addNumber(settings::kHistoryMaxMegabytes, localized("History size limit (MiB)"),
              settings::kHistoryMaxMegabytesDefault, settings::kHistoryMaxMegabytesMinimum,
              settings::kHistoryMaxMegabytesMaximum);
    historySpan_.add_css_class(style::kSmall);
    historySpan_.add_css_class(style::kSecondary);
    historySpan_.set_xalign(1);
    historySpan_.set_justify(Gtk::Justification::RIGHT);
    addRow(localized("History kept"), historySpan_);

    directoryLabel_.set_ellipsize(Pango::EllipsizeMode::START);
    directoryLabel_.set_max_width_chars(14);
    directoryLabel_.add_css_class(style::kSmall);
    chooseButton_.set_icon_name("folder-open-symbolic");
    chooseButton_.set_tooltip_text(localized("Choose a folder"));
    style::setAccessibleName(chooseButton_, localized("Choose the Prometheus textfile folder"));
    chooseButton_.signal_clicked().connect([this] { chooseDirectory(); });
    clearButton_.set_icon_name("edit-clear-symbolic");
    clearButton_.set_tooltip_text(localized("Turn the export off"));
    style::setAccessibleName(clearButton_, localized("Turn the Prometheus export off"));
    clearButton_.signal_clicked().connect([this] { setTextfileDirectory(""); });
    directoryBox_.append(directoryLabel_);
    directoryBox_.append(chooseButton_);
    directoryBox_.append(clearButton_);
    addRow(localized("Prometheus textfile folder"), directoryBox_);

    load();
    observer_ = defaults_.addObserver("", [this](const std::string&) { load(); });
}

SettingsControls::~SettingsControls() {
    defaults_.removeObserver(observer_);
}

void SettingsControls::readHistorySpan() {
    spanRead_.start(historySpanText);
}

void SettingsControls::addRow(const std::string& caption, Gtk::Widget& control) {
    auto* row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 8);
    auto* label = Gtk::make_managed<Gtk::Label>(caption);
    label->set_xalign(0);
    label->set_hexpand(true);
    label->set_wrap(true);
    label->set_max_width_chars(1);
    label->set_mnemonic_widget(control);
    control.set_valign(Gtk::Align::CENTER);
    style::setAccessibleName(control, caption);
    row->append(*label);
    row->append(control);
    style::appendCardRow(card_, *row);
}

void SettingsControls::addNumber(const char* key, const std::string& caption, int64_t fallback,
                                 int64_t lowest, int64_t highest) {
    auto* control = Gtk::make_managed<Gtk::SpinButton>();
    control->set_adjustment(Gtk::Adjustment::create(static_cast<double>(fallback),
                                                    static_cast<double>(lowest),
                                                    static_cast<double>(highest), 1, 10));
    control->set_numeric(true);
    spins_[key] = control;
    ranges_[key] = {fallback, lowest, highest};
    control->signal_value_changed().connect([this, control, key = std::string(key)] {
        if (loading_) {
            return;
        }
        defaults_.setInteger(key, control->get_value_as_int());
        if (key == settings::kAutoRefreshInterval) {
            notifications_.post(notifications::kRefreshIntervalChanged);
        }
    });
    addRow(caption, *control);
}

void SettingsControls::addSwitch(const char* key, const std::string& caption, bool fallback) {
    auto* control = Gtk::make_managed<Gtk::Switch>();
    switches_[key] = control;
    switchDefaults_[key] = fallback;
    control->property_active().signal_changed().connect([this, control, key = std::string(key)] {
        if (loading_) {
            return;
        }
        if (key == settings::kLaunchAtLogin) {
            setLaunchAtLogin(defaults_, autostart_, control->get_active());
        } else {
            defaults_.setBool(key, control->get_active());
        }
    });
    addRow(caption, *control);
}

void SettingsControls::load() {
    loading_ = true;
    for (auto& [key, control] : spins_) {
        const NumberRange& range = ranges_.at(key);
        control->set_value(static_cast<double>(
            std::clamp(defaults_.integerFor(key, range.fallback), range.lowest, range.highest)));
    }
    for (auto& [key, control] : switches_) {
        control->set_active(defaults_.boolFor(key, switchDefaults_.at(key)));
    }
    const std::string metric =
        defaults_.stringFor(settings::kMenuBarMetric, settings::kMenuBarMetricDefault);
    const auto& values = settings::kMenuBarMetricValues;
    const auto found = std::find(values.begin(), values.end(), metric);
    metric_.set_selected(found == values.end() ? 0 : static_cast<guint>(found - values.begin()));
    const std::string directory = defaults_.stringFor(
        settings::kPrometheusTextfileDirectory, settings::kPrometheusTextfileDirectoryDefault);
    directoryLabel_.set_text(directory.empty() ? localized("Off") : directory);
    clearButton_.set_sensitive(!directory.empty());
    loading_ = false;
}

void SettingsControls::setTextfileDirectory(const std::string& directory) {
    defaults_.setString(settings::kPrometheusTextfileDirectory, directory);
}

void SettingsControls::chooseDirectory() {
    auto* window = dynamic_cast<Gtk::Window*>(get_root());
    if (window == nullptr) {
        return;
    }
    chooser_ = Gtk::FileChooserNative::create(localized("Prometheus textfile folder"), *window,
                                              Gtk::FileChooser::Action::SELECT_FOLDER,
                                              localized("Choose"), localized("Cancel"));
    chooser_->signal_response().connect([this](int response) {
        if (response == Gtk::ResponseType::ACCEPT) {
            if (auto file = chooser_->get_file()) {
                setTextfileDirectory(file->get_path());
            }
        }
    });
    chooser_->show();
}

} // namespace korvel
