#pragma once

#include "companion/app/app_delegate.h"
#include "tests/companion/engine/manager_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtkmm.h>

namespace korvel::testing {

// Initialises GTK once for the test binary: software rendering, no
// accessibility bus, in-memory GSettings. False when no display can be opened.
bool gtkAvailable();

// Runs whatever the default main context has ready (idle callbacks, redraws).
void pumpMainContext();

// Runs the default main context until done() holds or about five seconds of
// real time have passed; whether done() holds. GTK finishes a keyboard
// activation of a button a moment later, on a timer of its own.
bool iterateUntil(const std::function<bool()>& done);

// Triggers the widget's shortcut whose trigger reads as `trigger` ("<Alt>2",
// "F5"), as a key press would; false when it has none.
bool activateShortcut(Gtk::Widget& widget, const Glib::ustring& trigger);

// A manager on a virtual clock (ManagerFixture) plus GTK and a private
// autostart directory; skipped without a display.
class GtkManagerTest : public ManagerFixture {
protected:
    void SetUp() override {
        if (!gtkAvailable()) {
            GTEST_SKIP() << "no display: set DISPLAY (scripts/run-tests.sh starts Xvfb)";
        }
    }
    void TearDown() override { pumpMainContext(); }

    // A reading with one process, so the manager counts the helper as reachable.
    static HelperResponse fullReading(double timestamp) {
        return reading(timestamp, {{4242, "worker", std::nullopt, 0, 0}});
    }

    AutostartItem autostart() const {
        return {platform::desktop::AutostartEntry(entryPath.string()),
                "/opt/korvel/bin/korvel-companion"};
    }

    // A delegate whose outside reaches are counted here.
    std::shared_ptr<AppDelegate> makeDelegate() {
        AppDelegateEnvironment env;
        env.makeManager = [this] { return KorvelManager::create(environment()); };
        env.defaults = &defaults;
        env.notifications = &center;
        env.now = [this] { return dispatch.now(); };
        env.autostart = autostart();
        env.terminate = [this] { ++terminations; };
        env.adoptWindow = [this](Gtk::Window& window) {
            adopted.push_back(&window);
            entryExistedWhenWindowCame = std::filesystem::exists(entryPath);
        };
        env.openSupportPage = [this] { ++pagesOpened; };
        return AppDelegate::create(std::move(env));
    }

    TempDir config;
    const std::filesystem::path entryPath = config.path() / "autostart/qn.Korvel.companion.desktop";
    int terminations = 0;
    int pagesOpened = 0;
    std::vector<Gtk::Window*> adopted;
    bool entryExistedWhenWindowCame = false;
};

} // namespace korvel::testing
