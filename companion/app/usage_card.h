#pragma once

#include "companion/usage/network_account.h"

#include <gtkmm.h>

#include <functional>
#include <string>

namespace korvel {

// A tracked network on the Overview: what its cycle used, against its plan
// as a level bar (the bytes alone for a metered network without one), the
// days left and where the cycle is heading. Clicking it opens the network's
// usage.
class UsageCard : public Gtk::Button {
public:
    explicit UsageCard(std::function<void(const std::string& network)> open);

    void show(const usage::NetworkAccount& account, int64_t now);

    const std::string& network() const { return network_; }
    const Gtk::Label& figure() const { return figure_; }
    // Of the plan's cap; hidden without a plan.
    const Gtk::LevelBar& bar() const { return bar_; }

private:
    std::string network_;
    Gtk::Box box_{Gtk::Orientation::VERTICAL, 4};
    Gtk::Label title_;
    Gtk::Label figure_;
    Gtk::LevelBar bar_;
    Gtk::Label detail_;
};

} // namespace korvel
