#include "companion/app/app_delegate.h"
#include "tests/companion/app/gtk_test_support.h"
#include "tests/support/temp_dir.h"

namespace korvel::testing {
namespace {

class AppDelegateTest : public GtkManagerTest {
protected:
    std::filesystem::path entryPath() const {
        return config.path() / "autostart/qn.Korvel.companion.desktop";
    }

    std::shared_ptr<AppDelegate> makeDelegate() {
        AppDelegateEnvironment env;
        env.makeManager = [this] {
            ++managersMade;
            return KorvelManager::create(environment());
        };
        env.defaults = &defaults;
        env.loginItem.entry = platform::desktop::AutostartEntry(entryPath().string());
        env.loginItem.executable = "/opt/korvel/bin/korvel-companion";
        env.terminate = [this] { ++terminations; };
        env.adoptWindow = [this](Gtk::Window& window) {
            adopted.push_back(&window);
            entryExistedWhenWindowCame = std::filesystem::exists(entryPath());
        };
        env.openSupportPage = [this] { ++pagesOpened; };
        return AppDelegate::create(std::move(env));
    }

    bool setupCompleted() const {
        return defaults.boolFor(settings::kCompanionSetupCompleted, false);
    }

    TempDir config;
    int managersMade = 0;
    int terminations = 0;
    int pagesOpened = 0;
    std::vector<Gtk::Window*> adopted;
    bool entryExistedWhenWindowCame = false;
};

TEST_F(AppDelegateTest, FirstLaunchRegistersTheLoginItemThenShowsTheSetupWindow) {
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    pumpMainContext();

    EXPECT_EQ(managersMade, 1);
    ASSERT_TRUE(delegate->manager());
    dispatch.runPending();
    EXPECT_EQ(requests.size(), 1u) << "the engine starts with the launch";

    EXPECT_TRUE(std::filesystem::exists(entryPath()));
    EXPECT_EQ(defaults.object(settings::kLaunchAtLogin), nlohmann::json(true));
    EXPECT_TRUE(entryExistedWhenWindowCame) << "registration comes before the window";

    auto* window = delegate->setupWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(adopted, std::vector<Gtk::Window*>{window});
    EXPECT_TRUE(window->get_visible());
    EXPECT_EQ(window->get_title(), "Korvel Companion");
    EXPECT_FALSE(window->get_resizable());
    int width = 0, height = 0;
    window->get_default_size(width, height);
    EXPECT_EQ(width, 420);
    EXPECT_EQ(height, 320);
    EXPECT_EQ(window->get_width(), 420) << "texts wrap instead of widening the window";
    EXPECT_GE(window->get_height(), 320);
    // Return goes to the default button whether it reaches the window or the
    // focused widget first.
    EXPECT_EQ(window->get_default_widget(), &window->view().continueButton());
    EXPECT_EQ(window->get_focus(), &window->view().continueButton());
}

TEST_F(AppDelegateTest, ReturnCompletesTheSetupAndLaterLaunchesShowNothing) {
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    auto* window = delegate->setupWindow();
    ASSERT_NE(window, nullptr);

    // What GTK's Return binding on a window emits.
    g_signal_emit_by_name(window->gobj(), "activate-default");
    EXPECT_TRUE(iterateUntil([this] { return setupCompleted(); }));
    EXPECT_EQ(delegate->setupWindow(), nullptr);
    pumpMainContext();

    // The next launch still registers the login item, then shows nothing.
    std::filesystem::remove(entryPath());
    auto next = makeDelegate();
    next->applicationDidFinishLaunching();
    EXPECT_EQ(next->setupWindow(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(entryPath()));
}

TEST_F(AppDelegateTest, ClosingOrQuittingLeavesTheSetupForTheNextLaunch) {
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    auto* window = delegate->setupWindow();
    ASSERT_NE(window, nullptr);

    window->close();
    pumpMainContext();
    EXPECT_FALSE(window->get_visible());
    EXPECT_EQ(delegate->setupWindow(), window) << "a closed window is kept, not released";
    EXPECT_FALSE(defaults.object(settings::kCompanionSetupCompleted).has_value());
    EXPECT_EQ(terminations, 0);

    // "Quit" (clicked, or Escape anywhere in the window) ends the application
    // and touches no setting.
    window->present();
    window->view().quitButton().activate();
    EXPECT_TRUE(iterateUntil([this] { return terminations == 1; }));
    EXPECT_TRUE(activateShortcut(window->view(), "Escape"));
    EXPECT_EQ(terminations, 2);
    EXPECT_FALSE(defaults.object(settings::kCompanionSetupCompleted).has_value());

    // "Learn more" opens the page and leaves everything else as it was.
    window->view().learnMoreButton().activate();
    EXPECT_TRUE(iterateUntil([this] { return pagesOpened == 1; }));
    EXPECT_TRUE(window->get_visible());
    EXPECT_FALSE(setupCompleted());

    auto next = makeDelegate();
    next->applicationDidFinishLaunching();
    ASSERT_NE(next->setupWindow(), nullptr);
    EXPECT_TRUE(next->setupWindow()->get_visible());
}

TEST_F(AppDelegateTest, TheSetupWindowFollowsPublishingWhileOpen) {
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    dispatch.runPending();
    auto* window = delegate->setupWindow();
    ASSERT_NE(window, nullptr);
    const auto& row = window->view().statusView().relayRow();
    EXPECT_FALSE(row.isActive());

    answer(0, fullReading(dispatch.now()));
    EXPECT_TRUE(row.isActive());
    EXPECT_EQ(row.value(), "Publishing Advanced data");
}

TEST_F(AppDelegateTest, TheSettingsWindowIsOneWindowThatRefreshesTheLoginItemWhenShown) {
    auto delegate = makeDelegate();
    defaults.setBool(settings::kCompanionSetupCompleted, true);
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(delegate->setupWindow(), nullptr);
    EXPECT_EQ(defaults.object(settings::kLaunchAtLogin), nlohmann::json(true));

    // Switched off in the desktop's settings meanwhile.
    config.write("autostart/qn.Korvel.companion.desktop",
                 "[Desktop Entry]\nType=Application\nName=Korvel Companion\n"
                 "Exec=/opt/korvel/bin/korvel-companion\nX-GNOME-Autostart-enabled=false\n");

    delegate->showSettingsWindow();
    pumpMainContext();
    auto* settings = delegate->settingsWindow();
    ASSERT_NE(settings, nullptr);
    EXPECT_TRUE(settings->get_visible());
    EXPECT_EQ(settings->get_title(), "Korvel Companion Settings");
    EXPECT_EQ(defaults.object(settings::kLaunchAtLogin), nlohmann::json(false));

    // Closed and opened again: the same window, looking at the entry again.
    settings->close();
    pumpMainContext();
    std::filesystem::remove(entryPath());
    defaults.setBool(settings::kLaunchAtLogin, true);
    delegate->showSettingsWindow();
    pumpMainContext();
    EXPECT_EQ(delegate->settingsWindow(), settings);
    EXPECT_EQ(adopted.size(), 1u);
    EXPECT_EQ(defaults.object(settings::kLaunchAtLogin), nlohmann::json(false));
}

} // namespace
} // namespace korvel::testing
