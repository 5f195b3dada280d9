#pragma once

#include "companion/app/companion_status_view.h"

#include <gtkmm.h>

#include <functional>
#include <memory>

namespace korvel {

// The first-run window's content: what the companion does, its live status,
// and three choices. It decides nothing: each button runs an action handed in.
class CompanionSetupView : public Gtk::Box {
public:
    using Action = std::function<void()>;

    // Width of the whole view, padding included.
    static constexpr int kWidth = 420;
    static constexpr int kPadding = 20;

    CompanionSetupView(std::shared_ptr<KorvelManager> manager, Action onContinue, Action onQuit,
                       Action onLearnMore);

    // "Keep Running in Background": the window's default button.
    Gtk::Button& continueButton() { return continueButton_; }
    Gtk::Button& learnMoreButton() { return learnMoreButton_; }
    // "Quit", the cancel button: Escape anywhere in the window runs it too.
    Gtk::Button& quitButton() { return quitButton_; }
    CompanionStatusView& statusView() { return status_; }
    const Gtk::Label& description() const { return description_; }

private:
    Gtk::Box header_{Gtk::Orientation::VERTICAL, 6};
    Gtk::Label title_;
    Gtk::Label description_;
    CompanionStatusView status_;
    Gtk::Box facts_{Gtk::Orientation::VERTICAL, 8};
    Gtk::Box buttons_{Gtk::Orientation::HORIZONTAL, 10};
    Gtk::Button continueButton_;
    Gtk::Button learnMoreButton_;
    Gtk::Button quitButton_;
};

} // namespace korvel
