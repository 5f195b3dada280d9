#include "companion/app/setup_window.h"

#include "companion/app/localization.h"

namespace korvel {

SetupWindow::SetupWindow(std::shared_ptr<KorvelManager> manager,
                         CompanionSetupView::Action onContinue, CompanionSetupView::Action onQuit,
                         CompanionSetupView::Action onLearnMore)
    : view_(std::move(manager), std::move(onContinue), std::move(onQuit), std::move(onLearnMore)) {
    set_title(localized("Korvel Companion"));
    set_default_size(kWidth, kHeight);
    set_resizable(false);
    set_hide_on_close(true);
    set_child(view_);
    set_default_widget(view_.continueButton());
    set_focus(view_.continueButton());
}

} // namespace korvel
