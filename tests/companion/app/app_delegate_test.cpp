#include "tests/companion/app/gtk_test_support.h"

namespace korvel::testing {
namespace {

using AppDelegateTest = GtkManagerTest;

TEST_F(AppDelegateTest, OnlyReturnCompletesTheSetup) {
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    pumpMainContext();
    ASSERT_TRUE(delegate->manager());
    dispatch.runPending();
    EXPECT_EQ(requests.size(), 1u) << "the engine starts with the launch";
    EXPECT_TRUE(entryExistedWhenWindowCame) << "registration comes before the window";

    auto* window = delegate->setupWindow();
    ASSERT_EQ(adopted, std::vector<Gtk::Window*>{window});
    EXPECT_TRUE(window->get_visible());
    // Return goes to the default button whether it reaches the window or the
    // focused widget first.
    EXPECT_EQ(window->get_default_widget(), &window->view().continueButton());
    EXPECT_EQ(window->get_focus(), &window->view().continueButton());

    window->close();
    pumpMainContext();
    EXPECT_FALSE(window->get_visible());
    EXPECT_EQ(delegate->setupWindow(), window) << "a closed window is kept, not released";
    EXPECT_EQ(terminations, 0);

    // "Quit" (clicked, or Escape anywhere in the window) ends the application
    // and "Learn more" opens the page; neither touches the setting.
    window->present();
    window->view().quitButton().activate();
    EXPECT_TRUE(iterateUntil([this] { return terminations == 1; }));
    EXPECT_TRUE(activateShortcut(window->view(), "Escape"));
    EXPECT_EQ(terminations, 2);
    window->view().learnMoreButton().activate();
    EXPECT_TRUE(iterateUntil([this] { return pagesOpened == 1; }));
    EXPECT_TRUE(window->get_visible());
    EXPECT_FALSE(defaults.object(settings::kCompanionSetupCompleted).has_value());
    auto next = makeDelegate();
    next->applicationDidFinishLaunching();
    ASSERT_NE(next->setupWindow(), nullptr) << "the setup is still pending";

    // The live window asked for meanwhile comes once the setup is answered.
    delegate->showLiveWindow();
    EXPECT_EQ(delegate->liveWindow(), nullptr);
    // What GTK's Return binding on a window emits.
    g_signal_emit_by_name(window->gobj(), "activate-default");
    EXPECT_TRUE(iterateUntil(
        [this] { return defaults.boolFor(settings::kCompanionSetupCompleted, false); }));
    EXPECT_EQ(delegate->setupWindow(), nullptr);
    ASSERT_NE(delegate->liveWindow(), nullptr);
    EXPECT_TRUE(delegate->liveWindow()->get_visible());
    pumpMainContext();

    // Later launches still register the autostart entry, then show nothing.
    std::filesystem::remove(entryPath);
    auto later = makeDelegate();
    later->applicationDidFinishLaunching();
    EXPECT_EQ(later->setupWindow(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(entryPath));
}

TEST_F(AppDelegateTest, TheSettingsWindowIsOneWindowThatRefreshesTheLoginItemWhenShown) {
    auto delegate = makeDelegate();
    defaults.setBool(settings::kCompanionSetupCompleted, true);
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(defaults.object(settings::kLaunchAtLogin), nlohmann::json(true));

    // Switched off in the desktop's settings meanwhile.
    config.write("autostart/qn.Korvel.companion.desktop",
                 "[Desktop Entry]\nType=Application\nExec=/x\nX-GNOME-Autostart-enabled=false\n");
    delegate->showSettingsWindow();
    pumpMainContext();
    auto* settings = delegate->settingsWindow();
    ASSERT_NE(settings, nullptr);
    EXPECT_TRUE(settings->get_visible());
    EXPECT_EQ(defaults.object(settings::kLaunchAtLogin), nlohmann::json(false));

    // Closed and opened again: the same window, looking at the entry again.
    settings->close();
    pumpMainContext();
    std::filesystem::remove(entryPath);
    defaults.setBool(settings::kLaunchAtLogin, true);
    delegate->showSettingsWindow();
    pumpMainContext();
    EXPECT_EQ(delegate->settingsWindow(), settings);
    EXPECT_EQ(adopted.size(), 1u);
    EXPECT_EQ(defaults.object(settings::kLaunchAtLogin), nlohmann::json(false));
}

} // namespace
} // namespace korvel::testing
