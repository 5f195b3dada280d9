#include "platform/netpath/network_manager_metered.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <mutex>
#include <string>
#include <thread>

namespace korvel::platform::netpath {
namespace {

constexpr const char* kIntrospection = R"(<node>
  <interface name="org.freedesktop.NetworkManager">
    <property name="Metered" type="u" access="read"/>
  </interface>
</node>)";

// A private message bus with a stand-in connection manager on it that owns
// the real service name and exports a Metered property.
class FakeNetworkManager {
public:
    FakeNetworkManager() {
        gchar* argv[] = {const_cast<gchar*>("dbus-daemon"), const_cast<gchar*>("--session"),
                         const_cast<gchar*>("--nofork"), const_cast<gchar*>("--print-address=1"),
                         nullptr};
        gint out = -1;
        if (!g_spawn_async_with_pipes(
                nullptr, argv, nullptr,
                static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                nullptr, &daemon_, nullptr, &out, nullptr, nullptr)) {
            return;
        }
        GIOChannel* channel = g_io_channel_unix_new(out);
        gchar* line = nullptr;
        if (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) ==
            G_IO_STATUS_NORMAL) {
            address_ = g_strstrip(line);
        }
        g_free(line);
        g_io_channel_shutdown(channel, FALSE, nullptr);
        g_io_channel_unref(channel);
    }

    ~FakeNetworkManager() {
        stopService();
        if (daemon_ > 0) {
            ::kill(daemon_, SIGTERM);
            g_spawn_close_pid(daemon_);
        }
    }

    const std::string& address() const { return address_; }

    // Owns the service name and serves Metered = value until stopped.
    void startService(guint32 value) {
        metered_ = value;
        std::promise<void> owned;
        auto ready = owned.get_future();
        thread_ = std::thread([this, owned = std::move(owned)]() mutable { serve(owned); });
        ready.wait();
    }

    void setMetered(guint32 value) {
        metered_ = value;
        GSource* source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer data) -> gboolean {
                static_cast<FakeNetworkManager*>(data)->emitChanged();
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(source, context_);
        g_source_unref(source);
    }

    void stopService() {
        if (!thread_.joinable()) {
            return;
        }
        GSource* source = g_idle_source_new();
        g_source_set_callback(
            source,
            [](gpointer loop) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_, nullptr);
        g_source_attach(source, context_);
        g_source_unref(source);
        thread_.join();
    }

private:
    void serve(std::promise<void>& owned) {
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        g_main_context_push_thread_default(context_);
        connection_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
        static const GDBusInterfaceVTable vtable = {
            nullptr,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**,
               gpointer data) -> GVariant* {
                return g_variant_new_uint32(
                    static_cast<FakeNetworkManager*>(data)->metered_.load());
            },
            nullptr,
            {}};
        const guint object =
            g_dbus_connection_register_object(connection_, "/org/freedesktop/NetworkManager",
                                              node->interfaces[0], &vtable, this, nullptr, nullptr);
        g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "RequestName",
                                    g_variant_new("(su)", "org.freedesktop.NetworkManager", 0u),
                                    nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        owned.set_value();
        g_main_loop_run(loop_);
        g_dbus_connection_unregister_object(connection_, object);
        g_dbus_node_info_unref(node);
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
        g_main_context_pop_thread_default(context_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    void emitChanged() {
        GVariantBuilder changed;
        g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&changed, "{sv}", "Metered", g_variant_new_uint32(metered_.load()));
        g_dbus_connection_emit_signal(
            connection_, nullptr, "/org/freedesktop/NetworkManager",
            "org.freedesktop.DBus.Properties", "PropertiesChanged",
            g_variant_new("(sa{sv}as)", "org.freedesktop.NetworkManager", &changed, nullptr),
            nullptr);
    }

    GPid daemon_ = 0;
    std::string address_;
    std::atomic<guint32> metered_{0};
    std::thread thread_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
};

// Bounded wait for another thread's doing; not a timing requirement.
template <typename Predicate> bool eventually(Predicate predicate) {
    for (int i = 0; i < 400 && !predicate(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return predicate();
}

TEST(NetworkManagerMetered, FollowsTheMeteredProperty) {
    EXPECT_TRUE(NetworkManagerMetered::meansMetered(1));
    EXPECT_TRUE(NetworkManagerMetered::meansMetered(3));
    for (unsigned value : {0u, 2u, 4u, 99u}) {
        EXPECT_FALSE(NetworkManagerMetered::meansMetered(value)) << value;
    }

    FakeNetworkManager bus;
    if (bus.address().empty()) {
        GTEST_SKIP() << "no dbus-daemon to run a private bus";
    }
    // Nobody owns the name yet: settled, not metered.
    std::atomic<int> changes{0};
    NetworkManagerMetered metered(bus.address());
    metered.start([&changes] { changes += 1; });
    ASSERT_TRUE(eventually([&] { return metered.isSettled(); }));
    EXPECT_FALSE(metered.isMetered());
    // The service appears later: its verdict is picked up, then followed.
    bus.startService(3);
    ASSERT_TRUE(eventually([&] { return metered.isMetered(); }));
    EXPECT_GE(changes.load(), 1);
    const int before = changes.load();
    bus.setMetered(2);
    ASSERT_TRUE(eventually([&] { return !metered.isMetered(); }));
    EXPECT_GT(changes.load(), before);
    // The service going away takes its verdict with it.
    bus.setMetered(1);
    ASSERT_TRUE(eventually([&] { return metered.isMetered(); }));
    bus.stopService();
    EXPECT_TRUE(eventually([&] { return !metered.isMetered(); }));
    metered.stop();
}

} // namespace
} // namespace korvel::platform::netpath
