#include "companion/app/companion_setup_view.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"

namespace korvel {
namespace {

// A label with the "checkmark.circle" symbol before it.
Gtk::Box* makeFact(const std::string& text) {
    auto* fact = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 6);
    auto* symbol = Gtk::make_managed<Gtk::Image>();
    symbol->set_from_icon_name("object-select-symbolic");
    symbol->set_pixel_size(14);
    symbol->add_css_class(style::kSecondary);
    auto* label = Gtk::make_managed<Gtk::Label>(text);
    style::setNote(*label, style::kBody);
    label->set_max_width_chars(1);
    label->set_hexpand(true);
    fact->append(*symbol);
    fact->append(*label);
    return fact;
}

} // namespace

CompanionSetupView::CompanionSetupView(std::shared_ptr<KorvelManager> manager, Action onContinue,
                                       Action onQuit, Action onLearnMore)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 18), status_(std::move(manager)) {
    set_margin(kPadding);
    set_size_request(kWidth - 2 * kPadding, -1);

    title_.set_text(localized("Korvel Companion"));
    title_.add_css_class(style::kSetupTitle);
    title_.set_xalign(0);
    description_.set_text(localized("The Companion runs quietly in the background and extends "
                                    "Korvel with Advanced diagnostics."));
    style::setNote(description_, style::kBody);
    description_.set_max_width_chars(1);
    header_.append(title_);
    header_.append(description_);
    append(header_);

    append(status_);

    facts_.set_halign(Gtk::Align::FILL);
    facts_.append(*makeFact(localized("Runs in the background after setup")));
    facts_.append(*makeFact(localized("Starts automatically at login")));
    facts_.append(*makeFact(localized("Open the live window from the application menu or with "
                                      "korvel-companion --window")));
    append(facts_);

    continueButton_.set_label(localized("Keep Running in Background"));
    continueButton_.add_css_class("suggested-action");
    learnMoreButton_.set_label(localized("Learn more"));
    quitButton_.set_label(localized("Quit"));
    continueButton_.signal_clicked().connect([run = std::move(onContinue)] { run(); });
    learnMoreButton_.signal_clicked().connect([run = std::move(onLearnMore)] { run(); });
    quitButton_.signal_clicked().connect([run = onQuit] { run(); });
    buttons_.set_valign(Gtk::Align::CENTER);
    buttons_.set_halign(Gtk::Align::START);
    for (auto* button : {&continueButton_, &learnMoreButton_, &quitButton_}) {
        button->add_css_class(style::kCompact);
        buttons_.append(*button);
    }
    append(buttons_);

    // The cancel role: Escape runs Quit wherever the focus is in the window.
    auto shortcuts = Gtk::ShortcutController::create();
    shortcuts->set_scope(Gtk::ShortcutScope::GLOBAL);
    shortcuts->add_shortcut(Gtk::Shortcut::create(
        Gtk::KeyvalTrigger::create(GDK_KEY_Escape),
        Gtk::CallbackAction::create(
            [run = std::move(onQuit)](Gtk::Widget&, const Glib::VariantBase&) {
                run();
                return true;
            })));
    add_controller(shortcuts);
}

} // namespace korvel
