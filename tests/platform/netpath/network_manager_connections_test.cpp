#include "platform/netpath/network_manager_connections.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace korvel::platform::netpath {
namespace {

constexpr const char* kIntrospection = "<node><interface name='org.freedesktop.NetworkManager'>"
                                       "<property name='Metered' type='u' access='read'/>"
                                       "</interface></node>";

// A private message bus with a stand-in connection manager on it that owns
// the real service name and exports a Metered property. It answers the bus
// only while eventually() waits.
class FakeNetworkManager {
public:
    FakeNetworkManager() {
        daemon_ = g_subprocess_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                                 G_SUBPROCESS_FLAGS_STDERR_SILENCE),
                                   nullptr, "dbus-daemon", "--session", "--nofork",
                                   "--print-address=1", nullptr);
        if (daemon_ != nullptr) {
            GDataInputStream* out = g_data_input_stream_new(g_subprocess_get_stdout_pipe(daemon_));
            gchar* line = g_data_input_stream_read_line(out, nullptr, nullptr, nullptr);
            address_ = line != nullptr ? line : "";
            g_free(line);
            g_object_unref(out);
        }
    }

    ~FakeNetworkManager() {
        stopService();
        if (daemon_ != nullptr) {
            g_subprocess_force_exit(daemon_);
            g_object_unref(daemon_);
        }
        g_main_context_unref(context_);
    }

    const std::string& address() const { return address_; }

    // Owns the service name and serves Metered = value until stopped.
    void startService(guint32 value) {
        metered_ = value;
        // Property reads are answered on context_, which eventually() runs.
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
               gpointer self) -> GVariant* {
                return g_variant_new_uint32(static_cast<FakeNetworkManager*>(self)->metered_);
            },
            nullptr,
            {}};
        object_ =
            g_dbus_connection_register_object(connection_, "/org/freedesktop/NetworkManager",
                                              node->interfaces[0], &vtable, this, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        g_main_context_pop_thread_default(context_);
        g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "RequestName",
                                    g_variant_new("(su)", "org.freedesktop.NetworkManager", 0u),
                                    nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    }

    void setMetered(guint32 value) {
        metered_ = value;
        g_dbus_connection_emit_signal(
            connection_, nullptr, "/org/freedesktop/NetworkManager",
            "org.freedesktop.DBus.Properties", "PropertiesChanged",
            g_variant_new_parsed("('org.freedesktop.NetworkManager', {'Metered': <%u>}, @as [])",
                                 value),
            nullptr);
    }

    void stopService() {
        if (connection_ != nullptr) {
            g_dbus_connection_unregister_object(connection_, object_);
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_clear_object(&connection_);
        }
    }

    // Bounded wait for the monitor's thread, not a timing requirement.
    template <typename Predicate> bool eventually(Predicate predicate) {
        for (int i = 0; i < 400 && !predicate(); ++i) {
            while (g_main_context_iteration(context_, FALSE)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return predicate();
    }

private:
    GSubprocess* daemon_ = nullptr;
    std::string address_;
    guint32 metered_ = 0;
    GMainContext* context_ = g_main_context_new();
    GDBusConnection* connection_ = nullptr;
    guint object_ = 0;
};

TEST(NetworkManagerConnections, FollowsTheMeteredProperty) {
    FakeNetworkManager bus;
    if (bus.address().empty()) {
        GTEST_SKIP() << "no dbus-daemon to run a private bus";
    }
    // Nobody owns the name yet: settled, not metered.
    std::atomic<int> changes{0};
    NetworkManagerConnections metered(bus.address());
    metered.start([&changes] { changes += 1; });
    ASSERT_TRUE(bus.eventually([&] { return metered.isSettled(); }));
    EXPECT_FALSE(metered.isMetered());
    // The service appears later: its verdict (3, a guessed yes) is picked up, then followed.
    bus.startService(3);
    ASSERT_TRUE(bus.eventually([&] { return metered.isMetered(); }));
    EXPECT_GE(changes.load(), 1);
    const int before = changes.load();
    bus.setMetered(2);
    ASSERT_TRUE(bus.eventually([&] { return !metered.isMetered(); }));
    EXPECT_GT(changes.load(), before);
    // The service going away takes its verdict with it.
    bus.setMetered(1);
    ASSERT_TRUE(bus.eventually([&] { return metered.isMetered(); }));
    bus.stopService();
    EXPECT_TRUE(bus.eventually([&] { return !metered.isMetered(); }));
    metered.stop();
}

} // namespace
} // namespace korvel::platform::netpath
