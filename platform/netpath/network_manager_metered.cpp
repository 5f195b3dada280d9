#include "platform/netpath/network_manager_metered.h"

#include <gio/gio.h>

namespace korvel::platform::netpath {

struct NetworkManagerMetered::Loop {
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

struct Watch {
    std::atomic<bool>* metered;
    std::function<void()>* changed;
};

void refresh(GDBusProxy* proxy, Watch* watch) {
    bool metered = false;
    if (GVariant* value = g_dbus_proxy_get_cached_property(proxy, "Metered")) {
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
            metered = NetworkManagerMetered::meansMetered(g_variant_get_uint32(value));
        }
        g_variant_unref(value);
    }
    if (watch->metered->exchange(metered) != metered && *watch->changed) {
        (*watch->changed)();
    }
}

void onPropertiesChanged(GDBusProxy* proxy, GVariant*, GStrv, gpointer data) {
    refresh(proxy, static_cast<Watch*>(data));
}

void onOwnerChanged(GObject* proxy, GParamSpec*, gpointer data) {
    refresh(G_DBUS_PROXY(proxy), static_cast<Watch*>(data));
}

GDBusConnection* connect(const std::string& busAddress) {
    gchar* address = busAddress.empty()
                         ? g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr)
                         : g_strdup(busAddress.c_str());
    if (address == nullptr) {
        return nullptr;
    }
    // A private connection: closing it cannot affect, or end, anyone else.
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    return connection;
}

} // namespace

NetworkManagerMetered::NetworkManagerMetered(std::string busAddress)
    : busAddress_(std::move(busAddress)) {}

NetworkManagerMetered::~NetworkManagerMetered() {
    stop();
}

void NetworkManagerMetered::start(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) {
        return;
    }
    changed_ = std::move(changed);
    loop_ = std::make_shared<Loop>();
    thread_ = std::thread([this] { run(); });
}

void NetworkManagerMetered::stop() {
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

void NetworkManagerMetered::run() {
    const auto loop = loop_;
    g_main_context_push_thread_default(loop->context);
    GDBusConnection* connection = connect(busAddress_);
    GDBusProxy* proxy = nullptr;
    if (connection != nullptr) {
        proxy = g_dbus_proxy_new_sync(connection, G_DBUS_PROXY_FLAGS_DO_NOT_AUTO_START, nullptr,
                                      kService, kObject, kService, nullptr, nullptr);
    }
    Watch watch{&metered_, &changed_};
    if (proxy != nullptr) {
        g_signal_connect(proxy, "g-properties-changed", G_CALLBACK(onPropertiesChanged), &watch);
        g_signal_connect(proxy, "notify::g-name-owner", G_CALLBACK(onOwnerChanged), &watch);
        refresh(proxy, &watch);
    }
    settled_ = true;
    // Without a proxy there is nothing to follow, and the thread ends here.
    if (proxy != nullptr) {
        g_main_loop_run(loop->loop);
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
