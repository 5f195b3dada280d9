#pragma once

#include "companion/app/companion_status_row.h"

#include <gtkmm.h>

#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

class KorvelManager;

// The small status panel of the setup window: what the companion is, and
// whether it publishes the advanced snapshot right now. Follows the
// manager's companionPublishing as it changes.
class CompanionStatusView : public Gtk::Box {
public:
    explicit CompanionStatusView(std::shared_ptr<KorvelManager> manager);
    ~CompanionStatusView() override;

    // The Relay row's value for a publishing state, localised.
    static std::string relayStatusText(bool publishing);

    const CompanionStatusRow& relayRow() const { return relayRow_; }

private:
    void update(bool publishing);

    std::shared_ptr<KorvelManager> manager_;
    uint64_t observer_ = 0;
    Gtk::Box header_{Gtk::Orientation::VERTICAL, 6};
    Gtk::Label title_;
    Gtk::Label description_;
    Gtk::Box rows_{Gtk::Orientation::VERTICAL, 10};
    CompanionStatusRow relayRow_;
};

} // namespace korvel
