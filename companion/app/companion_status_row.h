#pragma once

#include <gtkmm.h>

#include <string>

namespace korvel {

// One status line on a softly tinted rounded background: a state symbol, a
// caption and a value. The texts are shown as given (already localised).
class CompanionStatusRow : public Gtk::Box {
public:
    // Freedesktop stand-ins for the state symbols.
    static constexpr const char* kActiveIcon = "emblem-ok-symbolic";     // checkmark.circle.fill
    static constexpr const char* kInactiveIcon = "list-remove-symbolic"; // minus.circle

    CompanionStatusRow(const std::string& title, const std::string& value, bool isActive);

    void set(const std::string& title, const std::string& value, bool isActive);

    std::string title() const { return title_.get_text(); }
    std::string value() const { return value_.get_text(); }
    bool isActive() const { return isActive_; }
    const Gtk::Image& symbol() const { return symbol_; }

private:
    Gtk::Image symbol_;
    Gtk::Box texts_{Gtk::Orientation::VERTICAL, 2};
    Gtk::Label title_;
    Gtk::Label value_;
    bool isActive_ = false;
};

} // namespace korvel
