#include "companion/app/korvel_settings_view.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/engine/settings_keys.h"

namespace korvel {

KorvelSettingsView::KorvelSettingsView(platform::UserDefaults& defaults,
                                       platform::NotificationCenter& notifications,
                                       AutostartItem autostart, std::function<void()> onOpenPage)
    : defaults_(defaults), autostart_(autostart), controls_(defaults, notifications, autostart),
      plans_(defaults) {
    set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
    // Indicators stay visible instead of appearing only while scrolling.
    set_overlay_scrolling(false);
    set_size_request(kWidth, kMinimumHeight);
    set_propagate_natural_height(true);

    style::setSectionCaption(caption_, localized("Feature Mode"));

    availabilityCaption_.set_text(localized("Advanced data"));
    availabilityCaption_.set_xalign(0);
    availabilityCaption_.set_hexpand(true);
    availabilityRow_.set_valign(Gtk::Align::CENTER);
    availabilityRow_.append(availabilityCaption_);
    availabilityRow_.append(availability_);

    style::setNote(detail_, style::kSmall);
    detail_.set_max_width_chars(1);
    pageButton_.add_css_class(style::kSmall);
    pageButton_.set_halign(Gtk::Align::START);
    pageButton_.signal_clicked().connect([run = std::move(onOpenPage)] { run(); });
    detailBlock_.append(detail_);
    detailBlock_.append(pageButton_);

    style::makeCard(card_);
    style::appendCardRow(card_, availabilityRow_);
    style::appendCardRow(card_, detailBlock_);

    section_.append(caption_);
    section_.append(card_);
    content_.set_margin(20);
    content_.set_valign(Gtk::Align::START);
    content_.append(section_);
    content_.append(controls_);
    content_.append(plans_);
    set_child(content_);

    update();
    observer_ =
        defaults_.addObserver(settings::kHelperAvailable, [this](const std::string&) { update(); });
    signal_map().connect([this] {
        refreshLaunchAtLoginState(defaults_, autostart_);
        controls_.readHistorySpan();
        plans_.readNetworks();
    });
}

KorvelSettingsView::~KorvelSettingsView() {
    defaults_.removeObserver(observer_);
}

void KorvelSettingsView::update() {
    const bool available =
        defaults_.boolFor(settings::kHelperAvailable, settings::kHelperAvailableDefault);
    availability_.set_text(available ? localized("Available") : localized("Not available"));
    style::showActive(availability_, available);
    detail_.set_text(available ? localized("Process and connection details are available.")
                               : localized("Process and connection details are not available "
                                           "right now."));
    pageButton_.set_label(available ? localized("Open Korvel Page") : localized("Learn more"));
}

} // namespace korvel
