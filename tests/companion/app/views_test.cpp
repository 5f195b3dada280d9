#include "companion/app/app_style.h"
#include "companion/app/companion_setup_view.h"
#include "companion/app/korvel_settings_view.h"
#include "tests/companion/app/gtk_test_support.h"
#include "tests/companion/app/message_catalog.h"

namespace korvel::testing {
namespace {

class ViewsTest : public GtkManagerTest {
protected:
    // Publishes the manager's helperAvailable write to the views' observers.
    void deliver() { dispatch.runPending(); }

    LoginItem loginItem() const {
        LoginItem item;
        item.entry = platform::desktop::AutostartEntry(
            (config.path() / "autostart/qn.Korvel.companion.desktop").string());
        item.executable = "/opt/korvel/bin/korvel-companion";
        return item;
    }

    TempDir config;
};

void expectRowLook(const CompanionStatusRow& row, bool active) {
    EXPECT_EQ(row.isActive(), active);
    const auto icon = row.symbol().get_icon_name();
    EXPECT_EQ(icon, active ? CompanionStatusRow::kActiveIcon : CompanionStatusRow::kInactiveIcon);
    EXPECT_EQ(hasClass(row.symbol(), style::kActive), active);
    EXPECT_EQ(hasClass(row.symbol(), style::kSecondary), !active);
}

TEST_F(ViewsTest, TheRelayRowFollowsEveryPublishingChange) {
    start();
    CompanionStatusView view(manager);
    const auto& row = view.relayRow();
    EXPECT_EQ(row.title(), "Relay");
    EXPECT_EQ(row.value(), "Advanced data is not being published");
    expectRowLook(row, false);

    answer(0, fullReading(dispatch.now()));
    EXPECT_EQ(row.value(), "Publishing Advanced data");
    expectRowLook(row, true);

    // The helper delivers nothing: the snapshot goes, and so does the green.
    dispatch.advance(KorvelManager::kFirstStartupRefreshDelay);
    ASSERT_EQ(requests.size(), 2u);
    answer(1, reading(dispatch.now()));
    EXPECT_EQ(row.value(), "Advanced data is not being published");
    expectRowLook(row, false);
}

TEST_F(ViewsTest, AViewGoneBeforeTheManagerIsNotCalledAgain) {
    start();
    { CompanionStatusView view(manager); }
    answer(0, fullReading(dispatch.now())); // would touch the dead view
    EXPECT_TRUE(manager->companionPublishing.get());
}

TEST_F(ViewsTest, TheSettingsViewFollowsHelperAvailableWithoutReopening) {
    start();
    int opened = 0;
    KorvelSettingsView view(defaults, loginItem(), [&opened] { ++opened; });
    EXPECT_EQ(view.sectionCaption().get_text(), "FEATURE MODE");
    EXPECT_EQ(view.availability().get_text(), "Not available");
    EXPECT_TRUE(hasClass(view.availability(), style::kSecondary));
    EXPECT_FALSE(hasClass(view.availability(), style::kActive));
    EXPECT_EQ(view.pageButton().get_label(), "Learn more");
    const Glib::ustring unavailableDetail = view.detail().get_text();

    answer(0, fullReading(dispatch.now()));
    deliver();
    EXPECT_EQ(view.availability().get_text(), "Available");
    EXPECT_TRUE(hasClass(view.availability(), style::kActive));
    EXPECT_FALSE(hasClass(view.availability(), style::kSecondary));
    EXPECT_EQ(view.detail().get_text(), "Process and connection details are available.");
    EXPECT_EQ(view.pageButton().get_label(), "Open Korvel Page");

    // Either title opens the support page.
    g_signal_emit_by_name(view.pageButton().gobj(), "clicked");
    EXPECT_EQ(opened, 1);

    dispatch.advance(KorvelManager::kFirstStartupRefreshDelay);
    answer(1, reading(dispatch.now()));
    deliver();
    EXPECT_EQ(view.availability().get_text(), "Not available");
    EXPECT_EQ(view.detail().get_text(), unavailableDetail);
    EXPECT_EQ(view.pageButton().get_label(), "Learn more");
}

TEST_F(ViewsTest, TextsGoThroughTheCatalogueAndRowTextsAreShownAsGiven) {
    const std::string longDescription =
        "Der Begleiter läuft leise im Hintergrund und erweitert Korvel um erweiterte Diagnosen, "
        "die sonst nirgends zu sehen wären, und zwar ohne jede weitere Einstellung.";
    ScopedTranslations translations({
        {"Feature Mode", "Funktionsmodus"},
        {"Relay", "Relais"},
        // A value that happens to be a key must not be translated again.
        {"Publishing Advanced data", "Relay"},
        {"The Companion runs quietly in the background and extends Korvel with Advanced "
         "diagnostics.",
         longDescription},
        {"Korvel Companion", "Korvel-Begleiter"},
    });
    start();

    KorvelSettingsView settingsView(defaults, loginItem(), [] {});
    EXPECT_EQ(settingsView.sectionCaption().get_text(), "FUNKTIONSMODUS");

    CompanionStatusRow row("Relay", "Publishing Advanced data", true);
    EXPECT_EQ(row.title(), "Relay");
    EXPECT_EQ(row.value(), "Publishing Advanced data");

    auto window = std::make_unique<Gtk::Window>();
    auto* setup = Gtk::make_managed<CompanionSetupView>(
        manager, [] {}, [] {}, [] {});
    window->set_child(*setup);
    window->set_resizable(false);
    window->set_default_size(420, 320);
    EXPECT_EQ(setup->description().get_text().raw(), longDescription);
    answer(0, fullReading(dispatch.now()));
    EXPECT_EQ(setup->statusView().relayRow().title(), "Relais");
    EXPECT_EQ(setup->statusView().relayRow().value(), "Relay");

    window->present();
    pumpMainContext();
    EXPECT_EQ(window->get_width(), 420) << "a long translation wraps instead";
    EXPECT_GT(setup->description().get_height(), 20) << "wrapped onto several lines";
}

} // namespace
} // namespace korvel::testing
