#include "companion/app/companion_status_view.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/engine/korvel_manager.h"

namespace korvel {

CompanionStatusView::CompanionStatusView(std::shared_ptr<KorvelManager> manager)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 14), manager_(std::move(manager)),
      relayRow_(localized("Relay"), relayStatusText(false), false) {
    set_margin(14);
    set_halign(Gtk::Align::FILL);

    title_.set_text(localized("Korvel Companion"));
    title_.add_css_class(style::kStatusTitle);
    title_.set_xalign(0);
    description_.set_text(
        localized("It keeps a live reading of this computer for the live window, for "
                  "korvel-companion top, for your scripts (the snapshot file) and for "
                  "Prometheus."));
    style::setNote(description_, style::kSmall);
    // Wrap to the width given instead of asking for a wider window.
    description_.set_max_width_chars(1);
    header_.append(title_);
    header_.append(description_);
    append(header_);

    rows_.append(relayRow_);
    append(rows_);

    update(manager_->companionPublishing.get());
    observer_ = manager_->companionPublishing.observe(
        [this](const bool& publishing) { update(publishing); });
}

CompanionStatusView::~CompanionStatusView() {
    manager_->companionPublishing.removeObserver(observer_);
}

std::string CompanionStatusView::relayStatusText(bool publishing) {
    return publishing ? localized("Publishing Advanced data")
                      : localized("Advanced data is not being published");
}

void CompanionStatusView::update(bool publishing) {
    // Looked up again on every change, so a locale change shows at the next one.
    relayRow_.set(localized("Relay"), relayStatusText(publishing), publishing);
}

} // namespace korvel
