#include "platform/netpath/network_manager_connections.h"

#include "platform/dbus/bus_connection.h"

#include <gio/gio.h>

namespace korvel::platform::netpath {

struct NetworkManagerConnections::Loop {
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    ~Loop() {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }
};

namespace {

constexpr const char* kService = "org.freedesktop.NetworkManager";
constexpr const char* kObject = "/org/freedesktop/NetworkManager";
constexpr const char* kActiveInterface = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kDeviceInterface = "org.freedesktop.NetworkManager.Device";
constexpr const char* kAccessPointInterface = "org.freedesktop.NetworkManager.AccessPoint";
// NetworkManager announces changes in bursts (a connection coming up touches
// several objects): one read after the burst settles.
constexpr guint kSettleMilliseconds = 150;

// An object's properties of one interface, a{sv}; null when it has none.
GVariant* allProperties(GDBusConnection* connection, const char* path, const char* interface) {
    GVariant* reply = g_dbus_connection_call_sync(
        connection, kService, path, "org.freedesktop.DBus.Properties", "GetAll",
        g_variant_new("(s)", interface), G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
        2000, nullptr, nullptr);
    if (reply == nullptr) {
        return nullptr;
    }
    GVariant* properties = g_variant_get_child_value(reply, 0);
    g_variant_unref(reply);
    return properties;
}

std::string textOf(GVariant* properties, const char* name) {
    const char* text = nullptr;
    return g_variant_lookup(properties, name, "&s", &text) && text != nullptr ? text : "";
}

// SSIDs are bytes; anything but UTF-8 is shown escaped, as NetworkManager's tools do.
std::string ssidOf(GDBusConnection* connection, const char* accessPoint) {
    GVariant* properties = allProperties(connection, accessPoint, kAccessPointInterface);
    if (properties == nullptr) {
        return {};
    }
    std::string ssid;
    if (GVariant* bytes = g_variant_lookup_value(properties, "Ssid", G_VARIANT_TYPE_BYTESTRING)) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_variant_get_fixed_array(bytes, &size, 1));
        if (g_utf8_validate(data, static_cast<gssize>(size), nullptr)) {
            ssid.assign(data, size);
        } else {
            gchar* escaped = g_strescape(std::string(data, size).c_str(), nullptr);
            ssid = escaped;
            g_free(escaped);
        }
        g_variant_unref(bytes);
    }
    g_variant_unref(properties);
    return ssid;
}

// The interfaces of one active connection, each with what identifies it.
void addActiveConnection(GDBusConnection* connection, const char* path,
                         std::map<std::string, ConnectionIdentity>& into) {
    GVariant* active = allProperties(connection, path, kActiveInterface);
    if (active == nullptr) {
        return;
    }
    ConnectionIdentity identity{textOf(active, "Id"), textOf(active, "Uuid"), {}, false};
    const char* specific = nullptr;
    if (textOf(active, "Type") == "802-11-wireless" &&
        g_variant_lookup(active, "SpecificObject", "&o", &specific) &&
        std::string_view(specific) != "/") {
        identity.ssid = ssidOf(connection, specific);
    }
    GVariantIter* devices = nullptr;
    if (g_variant_lookup(active, "Devices", "ao", &devices)) {
        const char* device = nullptr;
        while (g_variant_iter_next(devices, "&o", &device)) {
            GVariant* properties = allProperties(connection, device, kDeviceInterface);
            if (properties == nullptr) {
                continue;
            }
            ConnectionIdentity onDevice = identity;
            guint32 metered = 0;
            onDevice.metered = g_variant_lookup(properties, "Metered", "u", &metered) &&
                               NetworkManagerConnections::meansMetered(metered);
            const std::string name = textOf(properties, "Interface");
            if (!name.empty()) {
                into.emplace(name, std::move(onDevice));
            }
            g_variant_unref(properties);
        }
        g_variant_iter_free(devices);
    }
    g_variant_unref(active);
}

std::map<std::string, ConnectionIdentity> readConnections(GDBusConnection* connection) {
    std::map<std::string, ConnectionIdentity> connections;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, kService, kObject, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kService, "ActiveConnections"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, nullptr);
    if (reply == nullptr) {
        return connections;
    }
    GVariant* boxed = g_variant_get_child_value(reply, 0);
    GVariant* paths = g_variant_get_variant(boxed);
    if (g_variant_is_of_type(paths, G_VARIANT_TYPE_OBJECT_PATH_ARRAY)) {
        GVariantIter iter;
        g_variant_iter_init(&iter, paths);
        const char* path = nullptr;
        while (g_variant_iter_next(&iter, "&o", &path)) {
            addActiveConnection(connection, path, connections);
        }
    }
    g_variant_unref(paths);
    g_variant_unref(boxed);
    g_variant_unref(reply);
    return connections;
}

} // namespace

struct NetworkManagerConnections::Watch {
    NetworkManagerConnections* owner;
    GDBusConnection* connection;
    GDBusProxy* manager;
    GSource* pending = nullptr; // a read waiting for a burst to settle

    void refresh() {
        bool metered = false;
        if (GVariant* value = g_dbus_proxy_get_cached_property(manager, "Metered")) {
            if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
                metered = meansMetered(g_variant_get_uint32(value));
            }
            g_variant_unref(value);
        }
        gchar* ownerName = g_dbus_proxy_get_name_owner(manager);
        auto connections = ownerName != nullptr ? readConnections(connection)
                                                : std::map<std::string, ConnectionIdentity>{};
        g_free(ownerName);
        bool changed = owner->metered_.exchange(metered) != metered;
        {
            std::lock_guard lock(owner->connectionsMutex_);
            if (owner->connections_ != connections) {
                owner->connections_ = std::move(connections);
                changed = true;
            }
        }
        if (changed && owner->changed_) {
            owner->changed_();
        }
    }

    void refreshSoon() {
        if (pending != nullptr) {
            return;
        }
        pending = g_timeout_source_new(kSettleMilliseconds);
        g_source_set_callback(
            pending,
            [](gpointer data) -> gboolean {
                auto* watch = static_cast<Watch*>(data);
                g_source_unref(watch->pending);
                watch->pending = nullptr;
                watch->refresh();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(pending, g_main_context_get_thread_default());
    }

    void cancelPending() {
        if (pending != nullptr) {
            g_source_destroy(pending);
            g_source_unref(pending);
            pending = nullptr;
        }
    }
};

NetworkManagerConnections::NetworkManagerConnections(std::string busAddress)
    : busAddress_(std::move(busAddress)) {}

NetworkManagerConnections::~NetworkManagerConnections() {
    stop();
}

void NetworkManagerConnections::start(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) {
        return;
    }
    changed_ = std::move(changed);
    loop_ = std::make_shared<Loop>();
    thread_ = std::thread([this] { run(); });
}

void NetworkManagerConnections::stop() {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) {
        return;
    }
    // Queued on the loop's own context, so a loop that has not started yet
    // still sees it.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        loop_->loop, nullptr);
    g_source_attach(quit, loop_->context);
    g_source_unref(quit);
    thread_.join();
    loop_.reset();
}

std::map<std::string, ConnectionIdentity>
NetworkManagerConnections::connectionsByInterface() const {
    std::lock_guard lock(connectionsMutex_);
    return connections_;
}

void NetworkManagerConnections::run() {
    const auto loop = loop_;
    g_main_context_push_thread_default(loop->context);
    GDBusConnection* connection = openBusConnection(MessageBus::system, busAddress_);
    GDBusProxy* proxy = nullptr;
    if (connection != nullptr) {
        proxy = g_dbus_proxy_new_sync(connection, G_DBUS_PROXY_FLAGS_DO_NOT_AUTO_START, nullptr,
                                      kService, kObject, kService, nullptr, nullptr);
    }
    Watch watch{this, connection, proxy};
    guint subscription = 0;
    if (proxy != nullptr) {
        // Any object of the service changing (a connection, a device, an
        // access point) may change what an interface is on.
        subscription = g_dbus_connection_signal_subscribe(
            connection, kService, "org.freedesktop.DBus.Properties", "PropertiesChanged", nullptr,
            nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
               gpointer data) { static_cast<Watch*>(data)->refreshSoon(); },
            &watch, nullptr);
        g_signal_connect_swapped(proxy, "notify::g-name-owner",
                                 G_CALLBACK(+[](Watch* w) { w->refreshSoon(); }), &watch);
        watch.refresh();
    }
    settled_ = true;
    // Without a proxy there is nothing to follow, and the thread ends here.
    if (proxy != nullptr) {
        g_main_loop_run(loop->loop);
        watch.cancelPending();
        g_dbus_connection_signal_unsubscribe(connection, subscription);
        g_signal_handlers_disconnect_by_data(proxy, &watch);
        g_object_unref(proxy);
    }
    if (connection != nullptr) {
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
    }
    g_main_context_pop_thread_default(loop->context);
}

} // namespace korvel::platform::netpath
