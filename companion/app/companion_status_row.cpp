#include "companion/app/companion_status_row.h"

#include "companion/app/app_style.h"

namespace korvel {

CompanionStatusRow::CompanionStatusRow(const std::string& title, const std::string& value,
                                       bool isActive)
    : Gtk::Box(Gtk::Orientation::HORIZONTAL, 10) {
    add_css_class(style::kStatusRow);
    set_valign(Gtk::Align::CENTER);

    symbol_.set_pixel_size(16);
    symbol_.set_valign(Gtk::Align::CENTER);
    append(symbol_);

    title_.add_css_class(style::kCaption);
    title_.add_css_class(style::kSecondary);
    title_.set_xalign(0);
    value_.add_css_class(style::kRowValue);
    value_.set_xalign(0);
    value_.set_wrap(true);
    texts_.set_halign(Gtk::Align::START);
    texts_.set_valign(Gtk::Align::CENTER);
    // Takes the free width, so the row fills the stack it sits in.
    texts_.set_hexpand(true);
    texts_.append(title_);
    texts_.append(value_);
    append(texts_);

    set(title, value, isActive);
}

void CompanionStatusRow::set(const std::string& title, const std::string& value, bool isActive) {
    title_.set_text(title);
    value_.set_text(value);
    isActive_ = isActive;
    symbol_.set_from_icon_name(isActive ? kActiveIcon : kInactiveIcon);
    style::showActive(symbol_, isActive);
}

} // namespace korvel
