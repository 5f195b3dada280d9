#include "companion/app/app_delegate.h"
#include "tests/companion/app/gtk_test_support.h"
#include "tests/support/temp_dir.h"

#include <cstdlib>

namespace korvel::testing {
namespace {

// Where the pictures go: $KORVEL_SCREENSHOT_DIR, else screenshots/ in the build.
std::filesystem::path screenshotDirectory() {
    if (const char* dir = std::getenv("KORVEL_SCREENSHOT_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return std::filesystem::path(KORVEL_TEST_BINARY_DIR).parent_path() / "screenshots";
}

class WindowRenderTest : public GtkManagerTest {
protected:
    std::shared_ptr<AppDelegate> makeDelegate() {
        AppDelegateEnvironment env;
        env.makeManager = [this] { return KorvelManager::create(environment()); };
        env.defaults = &defaults;
        env.loginItem.entry = platform::desktop::AutostartEntry(
            (config.path() / "autostart/qn.Korvel.companion.desktop").string());
        env.loginItem.executable = "/opt/korvel/bin/korvel-companion";
        env.terminate = [] {};
        env.openSupportPage = [] {};
        return AppDelegate::create(std::move(env));
    }

    // Renders the window, saves it as name and returns the picture.
    Glib::RefPtr<Gdk::Texture> save(Gtk::Window& window, const std::string& name) {
        auto texture = renderWindow(window);
        EXPECT_TRUE(texture) << name;
        if (texture) {
            std::filesystem::create_directories(screenshotDirectory());
            const auto file = screenshotDirectory() / name;
            EXPECT_TRUE(texture->save_to_png(file.string())) << file;
            EXPECT_GT(std::filesystem::file_size(file), 1000u) << file;
        }
        return texture;
    }

    TempDir config;
};

TEST_F(WindowRenderTest, BothWindowsRenderAndShowGreenOnlyWhileActive) {
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    delegate->showSettingsWindow();
    auto* setup = delegate->setupWindow();
    auto* settings = delegate->settingsWindow();
    ASSERT_NE(setup, nullptr);
    ASSERT_NE(settings, nullptr);

    const auto setupIdle = save(*setup, "setup-window-idle.png");
    const auto settingsIdle = save(*settings, "settings-window-idle.png");
    ASSERT_TRUE(setupIdle && settingsIdle);
    EXPECT_EQ(setupIdle->get_width(), 420);
    EXPECT_EQ(settingsIdle->get_width(), 380);
    EXPECT_GE(settingsIdle->get_height(), 720);
    EXPECT_EQ(greenPixels(setupIdle), 0u);
    EXPECT_EQ(greenPixels(settingsIdle), 0u);

    // The helper answers: both windows turn green in place.
    dispatch.runPending();
    answer(0, fullReading(dispatch.now()));
    dispatch.runPending();
    const auto setupActive = save(*setup, "setup-window.png");
    const auto settingsActive = save(*settings, "settings-window.png");
    EXPECT_GT(greenPixels(setupActive), 20u) << "the Relay row's symbol";
    EXPECT_GT(greenPixels(settingsActive), 20u) << "\"Available\"";
}

} // namespace
} // namespace korvel::testing
