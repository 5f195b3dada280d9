#include "companion/app/app_style.h"

#include <gtkmm.h>

namespace korvel::style {
namespace {

// @success_color is the theme's green (#33d17a in the default theme);
// @theme_fg_color stands for the design's primary colour.
constexpr const char* kCss = R"css(
.korvel-setup-title { font-size: 18px; font-weight: 600; }
.korvel-status-title { font-size: 14px; font-weight: 600; }
.korvel-body { font-size: 12px; }
.korvel-small { font-size: 11px; }
.korvel-caption { font-size: 10px; font-weight: 600; }
.korvel-row-value { font-size: 12px; font-weight: 500; }
.korvel-status-row {
  padding: 10px;
  border-radius: 10px;
  background-color: alpha(@theme_fg_color, 0.045);
}
.korvel-card {
  border-radius: 10px;
  background-color: alpha(@theme_fg_color, 0.05);
  border: 0.5px solid alpha(@theme_fg_color, 0.08);
}
.korvel-active { color: @success_color; }
button.korvel-small { padding: 2px 8px; min-height: 20px; }
.korvel-compact { font-size: 13px; padding: 3px 10px; min-height: 22px; }
.korvel-section-title { font-size: 13px; font-weight: 600; }
.korvel-figure { font-size: 15px; font-feature-settings: "tnum"; }
.korvel-section { padding: 10px 12px; }
levelbar block.korvel-beyond { background-color: @warning_color; border-color: @warning_color; }
)css";

} // namespace

void installCompanionStyle() {
    static bool installed = false;
    const auto display = Gdk::Display::get_default();
    if (installed || !display) {
        return;
    }
    auto provider = Gtk::CssProvider::create();
    provider->load_from_data(kCss);
    Gtk::StyleContext::add_provider_for_display(display, provider,
                                                GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    installed = true;
}

void setNote(Gtk::Label& note, const char* sizeClass) {
    note.add_css_class(sizeClass);
    note.add_css_class(kSecondary);
    note.set_xalign(0);
    note.set_wrap(true);
}

void setSectionCaption(Gtk::Label& caption, const std::string& text) {
    caption.set_text(Glib::ustring(text).uppercase());
    caption.add_css_class(kCaption);
    caption.add_css_class(kSecondary);
    caption.set_xalign(0);
    caption.set_margin_start(6);
}

void makeCard(Gtk::Widget& card) {
    card.add_css_class(kCard);
    card.set_overflow(Gtk::Overflow::HIDDEN);
}

void appendCardRow(Gtk::Box& card, Gtk::Widget& row) {
    if (card.get_first_child() != nullptr) {
        card.append(*Gtk::make_managed<Gtk::Separator>(Gtk::Orientation::HORIZONTAL));
    }
    row.set_margin_start(12);
    row.set_margin_end(12);
    row.set_margin_top(9);
    row.set_margin_bottom(9);
    card.append(row);
}

void showActive(Gtk::Widget& widget, bool active) {
    widget.remove_css_class(active ? kSecondary : kActive);
    widget.add_css_class(active ? kActive : kSecondary);
}

void setAccessibleName(Gtk::Widget& widget, const std::string& name) {
    gtk_accessible_update_property(GTK_ACCESSIBLE(widget.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   name.c_str(), -1);
}

} // namespace korvel::style
