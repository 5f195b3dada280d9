#include "platform/dbus/bus_connection.h"

#include <gio/gio.h>

namespace korvel::platform {

GDBusConnection* openBusConnection(MessageBus bus, const std::string& busAddress) {
    gchar* address = busAddress.empty()
                         ? g_dbus_address_get_for_bus_sync(
                               bus == MessageBus::system ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION,
                               nullptr, nullptr)
                         : g_strdup(busAddress.c_str());
    if (address == nullptr) {
        return nullptr;
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    return connection;
}

} // namespace korvel::platform
