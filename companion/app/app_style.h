#pragma once

#include <string>

namespace Gtk {
class Box;
class Label;
class Widget;
} // namespace Gtk

namespace korvel::style {

// CSS classes of the companion's windows. Sizes are CSS pixels, one per
// design point; weights 600 (semibold) and 500 (medium). Secondary text uses
// the theme's "dim-label" class, active states the theme's success colour.
inline constexpr const char* kSetupTitle = "korvel-setup-title";   // 18, semibold
inline constexpr const char* kStatusTitle = "korvel-status-title"; // 14, semibold
inline constexpr const char* kBody = "korvel-body";                // 12
inline constexpr const char* kSmall = "korvel-small";              // 11
inline constexpr const char* kCaption = "korvel-caption";          // 10, semibold
inline constexpr const char* kRowValue = "korvel-row-value";       // 12, medium
inline constexpr const char* kStatusRow = "korvel-status-row";     // tinted rounded row
inline constexpr const char* kCard = "korvel-card";                // settings card
inline constexpr const char* kActive = "korvel-active";            // system green
inline constexpr const char* kCompact = "korvel-compact"; // push buttons, 13 like the system's
inline constexpr const char* kSecondary = "dim-label";
inline constexpr const char* kSectionTitle = "korvel-section-title"; // 13, semibold
inline constexpr const char* kFigure = "korvel-figure";              // 15, tabular digits

// Installs the classes for the default display, once. Call after GTK is
// initialised.
void installCompanionStyle();

// Secondary text in a size class: dimmed, left-aligned and wrapping.
void setNote(Gtk::Label& note, const char* sizeClass);

// The settings window's section heading over its card: small capitals, dimmed.
void setSectionCaption(Gtk::Label& caption, const std::string& text);
// A section's rows in one rounded card.
void makeCard(Gtk::Widget& card);
// Adds a padded row to a card, below a separator when rows are above it.
void appendCardRow(Gtk::Box& card, Gtk::Widget& row);
// The active colour for an active state, else dimmed.
void showActive(Gtk::Widget& widget, bool active);

// The name screen readers announce for a control or table.
void setAccessibleName(Gtk::Widget& widget, const std::string& name);

} // namespace korvel::style
