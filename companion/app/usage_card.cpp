#include "companion/app/usage_card.h"

#include "companion/app/app_style.h"
#include "companion/app/data_usage.h"
#include "companion/app/localization.h"
#include "companion/text/figure_text.h"

#include <algorithm>

namespace korvel {

UsageCard::UsageCard(std::function<void(const std::string& network)> open) {
    add_css_class("flat");
    add_css_class(style::kCard);
    add_css_class("korvel-section");
    set_size_request(260, -1);
    set_tooltip_text(localized("Show this network's data usage"));
    title_.add_css_class(style::kSectionTitle);
    title_.set_xalign(0);
    title_.set_ellipsize(Pango::EllipsizeMode::END);
    figure_.add_css_class(style::kFigure);
    figure_.set_xalign(0);
    // The theme's default offsets mean "running low"; here filling up is the
    // bad end, so the warning colour starts at the plan's warning share.
    bar_.remove_offset_value(GTK_LEVEL_BAR_OFFSET_LOW);
    bar_.remove_offset_value(GTK_LEVEL_BAR_OFFSET_HIGH);
    bar_.remove_offset_value(GTK_LEVEL_BAR_OFFSET_FULL);
    style::setNote(detail_, style::kSmall);
    box_.append(title_);
    box_.append(figure_);
    box_.append(bar_);
    box_.append(detail_);
    set_child(box_);
    signal_clicked().connect([this, open = std::move(open)] { open(network_); });
}

void UsageCard::show(const usage::NetworkAccount& account, int64_t now) {
    network_ = account.network.key;
    title_.set_text(account.network.name);
    style::setAccessibleName(*this, account.network.name + " " + localized("data usage"));
    std::string detail = daysLeftText(account.span, now);
    if (account.estimate) {
        detail += " · " + localized("heading for") + " " + formatDecimalBytes(*account.estimate);
    }
    bar_.set_visible(account.plan.has_value());
    if (!account.plan) {
        figure_.set_text(formatDecimalBytes(account.counted));
        detail_.set_text(localized("metered, no plan") + " · " + detail);
        return;
    }
    const auto& plan = *account.plan;
    figure_.set_text(formatDecimalBytes(account.counted) + " " + localized("of") + " " +
                     formatDecimalBytes(plan.capBytes));
    if (plan.count != usage::CountedDirection::both) {
        detail += " · " + countedText(plan.count);
    }
    detail_.set_text(detail);
    bar_.add_offset_value("korvel-within", plan.warningPercent / 100.0);
    bar_.add_offset_value("korvel-beyond", 1.0);
    bar_.set_value(
        std::min(1.0, static_cast<double>(account.counted) / static_cast<double>(plan.capBytes)));
}

} // namespace korvel
