#include "platform/desktop/desktop_notifier.h"

#include "platform/dbus/bus_connection.h"

#include <gio/gio.h>

namespace korvel::platform {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kObject = "/org/freedesktop/Notifications";
constexpr const char* kApplicationName = "Korvel Companion";
constexpr const char* kDesktopEntry = "qn.Korvel.companion";

} // namespace

DesktopNotifier::DesktopNotifier(Clicked clicked, std::string busAddress)
    : connection_(openBusConnection(MessageBus::session, busAddress)),
      clicked_(std::move(clicked)) {
    if (connection_ == nullptr) {
        return;
    }
    const auto invoked = [](GDBusConnection*, const gchar*, const gchar*, const gchar*,
                            const gchar*, GVariant* parameters, gpointer data) {
        auto* self = static_cast<DesktopNotifier*>(data);
        guint32 id = 0;
        const gchar* action = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &action);
        std::string subject;
        {
            std::lock_guard lock(self->mutex_);
            const auto found = self->sent_.find(id);
            if (found == self->sent_.end()) {
                return;
            }
            subject = found->second;
        }
        if (g_strcmp0(action, "default") == 0 && self->clicked_) {
            self->clicked_(subject);
        }
    };
    subscription_ = g_dbus_connection_signal_subscribe(
        connection_, kService, kService, "ActionInvoked", kObject, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, invoked, this, nullptr);
}

DesktopNotifier::~DesktopNotifier() {
    if (connection_ != nullptr) {
        g_dbus_connection_signal_unsubscribe(connection_, subscription_);
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
    }
}

bool DesktopNotifier::notify(const std::string& summary, const std::string& body,
                             std::string subject) {
    if (connection_ == nullptr) {
        return false;
    }
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "Show usage");
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(kDesktopEntry));
    g_variant_builder_add(&hints, "{sv}", "category", g_variant_new_string("network"));
    // Holding the lock across the call: a click on this one waits until its id is known.
    std::lock_guard lock(mutex_);
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, kService, kObject, kService, "Notify",
        g_variant_new("(susssasa{sv}i)", kApplicationName, 0u, kDesktopEntry, summary.c_str(),
                      body.c_str(), &actions, &hints, -1),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply == nullptr) {
        return false;
    }
    guint32 id = 0;
    g_variant_get(reply, "(u)", &id);
    g_variant_unref(reply);
    sent_[id] = std::move(subject);
    return true;
}

} // namespace korvel::platform
