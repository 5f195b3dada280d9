#pragma once

#include "tests/companion/engine/manager_fixture.h"

#include <gtkmm.h>

#include <string>
#include <vector>

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

// A manager on a virtual clock (ManagerFixture) plus GTK; skipped without a display.
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
        HelperProcessData process;
        process.pid = 4242;
        process.name = "worker";
        process.execPath = "/usr/bin/worker";
        return reading(timestamp, {process});
    }
};

// Whether the widget has the CSS class.
inline bool hasClass(const Gtk::Widget& widget, const char* name) {
    return widget.has_css_class(name);
}

// The first descendant (depth first, the widget included) of type T.
template <typename T> T* findDescendant(Gtk::Widget& root) {
    if (auto* found = dynamic_cast<T*>(&root)) {
        return found;
    }
    for (auto* child = root.get_first_child(); child != nullptr;
         child = child->get_next_sibling()) {
        if (auto* found = findDescendant<T>(*child)) {
            return found;
        }
    }
    return nullptr;
}

// Triggers the shortcut of the widget's controllers whose trigger reads as
// `trigger` (e.g. "Escape"). False when none has it.
bool activateShortcut(Gtk::Widget& widget, const std::string& trigger);

// Renders the window as it is drawn on screen. Empty when it has no size.
Glib::RefPtr<Gdk::Texture> renderWindow(Gtk::Window& window);

// Counts the texture's pixels that read as the theme's green.
size_t greenPixels(const Glib::RefPtr<Gdk::Texture>& texture);

} // namespace korvel::testing
