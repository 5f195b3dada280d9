#include "tests/companion/app/gtk_test_support.h"

#include "companion/app/app_style.h"

#include <gtkmm/init.h>

#include <cstdint>
#include <cstdlib>

// GTK, fontconfig and friends keep caches for the life of the process; those
// are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libgtk-4.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgio-2.0.so\n"
           "leak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\nleak:libharfbuzz.so\n"
           "leak:libgdk_pixbuf\nleak:librsvg\nleak:libX11.so\nleak:libxkbcommon.so\n"
           "leak:libepoxy.so\nleak:libEGL\nleak:libGLX\nleak:libfreetype.so\n";
}

namespace korvel::testing {

bool gtkAvailable() {
    static const bool available = [] {
        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0')) {
            return false;
        }
        g_setenv("GSK_RENDERER", "cairo", TRUE);
        g_setenv("GTK_A11Y", "none", TRUE);
        g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
        // GDK looks for the file-transfer portal on the session bus as the
        // display opens; with no bus, GLib would launch one for the X display
        // that outlives the tests. A bus address that leads nowhere keeps it
        // from doing so.
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
    bool expired = false;
    const guint guard = g_timeout_add(
        5000,
        [](gpointer flag) {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    while (!done() && !expired) {
        g_main_context_iteration(nullptr, TRUE);
    }
    if (!expired) {
        g_source_remove(guard);
    }
    return done();
}

bool activateShortcut(Gtk::Widget& widget, const std::string& trigger) {
    auto controllers = widget.observe_controllers();
    for (guint i = 0; i < controllers->get_n_items(); ++i) {
        auto* controller = static_cast<GObject*>(g_list_model_get_item(controllers->gobj(), i));
        if (GTK_IS_SHORTCUT_CONTROLLER(controller)) {
            auto* shortcuts = G_LIST_MODEL(controller);
            for (guint j = 0; j < g_list_model_get_n_items(shortcuts); ++j) {
                auto* shortcut = GTK_SHORTCUT(g_list_model_get_item(shortcuts, j));
                char* text = gtk_shortcut_trigger_to_string(gtk_shortcut_get_trigger(shortcut));
                const bool matches = trigger == text;
                g_free(text);
                if (matches) {
                    gtk_shortcut_action_activate(gtk_shortcut_get_action(shortcut),
                                                 GTK_SHORTCUT_ACTION_EXCLUSIVE, widget.gobj(),
                                                 nullptr);
                }
                g_object_unref(shortcut);
                if (matches) {
                    g_object_unref(controller);
                    return true;
                }
            }
        }
        g_object_unref(controller);
    }
    return false;
}

Glib::RefPtr<Gdk::Texture> renderWindow(Gtk::Window& window) {
    pumpMainContext();
    const int width = window.get_width();
    const int height = window.get_height();
    if (width <= 0 || height <= 0) {
        return {};
    }
    auto paintable = Gtk::WidgetPaintable::create(window);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(GDK_PAINTABLE(paintable->gobj()), GDK_SNAPSHOT(snapshot), width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    if (node == nullptr) {
        return {};
    }
    GskRenderer* renderer = gtk_native_get_renderer(GTK_NATIVE(window.gobj()));
    const graphene_rect_t bounds =
        GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
    gsk_render_node_unref(node);
    return Glib::wrap(texture);
}

size_t greenPixels(const Glib::RefPtr<Gdk::Texture>& texture) {
    if (!texture) {
        return 0;
    }
    const int width = texture->get_width();
    const int height = texture->get_height();
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    gdk_texture_download(texture->gobj(), pixels.data(), static_cast<gsize>(width) * 4);
    size_t count = 0;
    for (size_t i = 0; i < pixels.size(); i += 4) {
        // Cairo's native order: B, G, R, A (premultiplied).
        const int b = pixels[i], g = pixels[i + 1], r = pixels[i + 2];
        if (g > 150 && g - r > 80 && g - b > 40) {
            ++count;
        }
    }
    return count;
}

} // namespace korvel::testing
