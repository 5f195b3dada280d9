#include "tests/companion/app/gtk_test_support.h"

#include "companion/app/app_style.h"

#include <gtkmm/init.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

// GTK, fontconfig and friends keep caches for the life of the process; those
// are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libgtk-4.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\n"
           "leak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\nleak:libharfbuzz.so\n"
           "leak:libgdk_pixbuf\nleak:librsvg\nleak:libX11.so\nleak:libxkbcommon.so\n"
           "leak:libepoxy.so\nleak:libEGL\nleak:libGLX\nleak:libfreetype.so\n";
}

namespace {

// The window program these tests start loads the same libraries; its leak
// check reads the same list from a file (it has no list of its own).
const bool kChildrenShareTheSuppressions = [] {
    static const std::string path = (std::filesystem::temp_directory_path() /
                                     ("korvel-lsan-" + std::to_string(::getpid()) + ".supp"))
                                        .string();
    std::ofstream(path) << __lsan_default_suppressions();
    ::setenv("LSAN_OPTIONS", ("suppressions=" + path).c_str(), 0);
    std::atexit([] { std::remove(path.c_str()); });
    return true;
}();

} // namespace

namespace korvel::testing {

bool gtkAvailable() {
    static const bool available = [] {
        g_setenv("GSK_RENDERER", "cairo", TRUE);
        // Even with the cairo renderer GDK opens EGL when it finds Mesa, and
        // LeakSanitizer cannot unwind through the GL driver it then unloads,
        // so no suppression can name it. These tests draw nothing with GL.
        g_setenv("GDK_DEBUG", "gl-disable", TRUE);
        g_setenv("GTK_A11Y", "none", TRUE);
        g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
        // Opening the display looks for a portal on the session bus; without
        // one GLib would launch a bus that outlives the tests.
        g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvel-test-bus", FALSE);
        if (!gtk_init_check()) {
            return false;
        }
        Gtk::init_gtkmm_internals();
        style::installCompanionStyle();
        return true;
    }();
    return available;
}

void pumpMainContext() {
    // Bounded: a redraw loop must not hang the test.
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

bool iterateUntil(const std::function<bool()>& done) {
    for (const gint64 end = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
         !done() && g_get_monotonic_time() < end;) {
        if (!g_main_context_iteration(nullptr, FALSE)) {
            g_usleep(1000);
        }
    }
    return done();
}

bool activateShortcut(Gtk::Widget& widget, const Glib::ustring& trigger) {
    auto controllers = widget.observe_controllers();
    for (guint i = 0; i < controllers->get_n_items(); ++i) {
        auto shortcuts =
            std::dynamic_pointer_cast<Gtk::ShortcutController>(controllers->get_object(i));
        for (guint j = 0; shortcuts && j < shortcuts->get_n_items(); ++j) {
            auto shortcut = std::dynamic_pointer_cast<Gtk::Shortcut>(shortcuts->get_object(j));
            if (shortcut->get_trigger()->to_string() == trigger) {
                return shortcut->get_action()->activate(widget,
                                                        Gtk::ShortcutAction::Flags::EXCLUSIVE);
            }
        }
    }
    return false;
}

} // namespace korvel::testing
