#pragma once

#include "companion/app/companion_setup_view.h"

#include <gtkmm.h>

namespace korvel {

// The first-run window: 420 × 320, not resizable, titled "Korvel Companion".
// Closing it only hides it. "Keep Running in Background" is its default
// widget and has the focus when it opens, so Return runs it.
class SetupWindow : public Gtk::Window {
public:
    static constexpr int kWidth = CompanionSetupView::kWidth;
    static constexpr int kHeight = 320;

    SetupWindow(std::shared_ptr<KorvelManager> manager, CompanionSetupView::Action onContinue,
                CompanionSetupView::Action onQuit, CompanionSetupView::Action onLearnMore);

    CompanionSetupView& view() { return view_; }

private:
    CompanionSetupView view_;
};

} // namespace korvel
