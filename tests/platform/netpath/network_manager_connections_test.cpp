#include "platform/netpath/network_manager_connections.h"
#include "tests/support/mocked_bus.h"

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

// NetworkManager as python3-dbusmock simulates it: the interface names the
// connection active on it, with the access point's SSID, and follows the
// laptop from one Wi-Fi network to another.
TEST(NetworkManagerConnections, NamesTheConnectionOnEachInterfaceAndFollowsASwitch) {
    korvel::testing::MockedBus bus("networkmanager", "org.freedesktop.NetworkManager", true);
    if (bus.address().empty()) {
        GTEST_SKIP() << "no dbus-daemon or python3-dbusmock to simulate NetworkManager";
    }
    const auto mock = [&](const char* method, GVariant* parameters) {
        std::string error;
        GVariant* reply = bus.call("org.freedesktop.NetworkManager", "/org/freedesktop",
                                   "org.freedesktop.DBus.Mock", method, parameters, &error);
        EXPECT_NE(reply, nullptr) << method << ": " << error;
        std::string path;
        if (reply != nullptr && g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)"))) {
            const gchar* text = nullptr;
            g_variant_get(reply, "(&s)", &text);
            path = text;
        }
        if (reply != nullptr) {
            g_variant_unref(reply);
        }
        return path;
    };
    const std::string device = mock("AddWiFiDevice", g_variant_new("(ssi)", "wifi0", "wlan0", 100));
    const auto join = [&](const char* name, const char* ssid) {
        const std::string ap =
            mock("AddAccessPoint", g_variant_new("(ssssuuuyu)", device.c_str(), name, ssid,
                                                 "00:11:22:33:44:55", 2u, 2437u, 54000u, 80, 0u));
        const std::string connection =
            mock("AddWiFiConnection", g_variant_new("(ssss)", device.c_str(),
                                                    (std::string(name) + "c").c_str(), ssid, ""));
        const gchar* devices[] = {device.c_str(), nullptr};
        return mock("AddActiveConnection",
                    g_variant_new("(^assssu)", devices, connection.c_str(), ap.c_str(),
                                  (std::string(name) + "a").c_str(), 2u));
    };
    const std::string home = join("home", "Home Net");

    NetworkManagerConnections connections(bus.address());
    connections.start({});
    const auto onWlan = [&] {
        const auto all = connections.connectionsByInterface();
        const auto found = all.find("wlan0");
        return found != all.end() ? found->second : ConnectionIdentity{};
    };
    // Bounded waits for the watching thread, not timing requirements.
    const auto eventually = [](auto predicate) {
        for (int i = 0; i < 200 && !predicate(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return predicate();
    };
    ASSERT_TRUE(eventually([&] { return onWlan().ssid == "Home Net"; }));
    const ConnectionIdentity atHome = onWlan();
    EXPECT_EQ(atHome.id, "Home Net");
    EXPECT_EQ(atHome.uuid.size(), 36u);
    EXPECT_FALSE(atHome.metered);

    mock("RemoveActiveConnection", g_variant_new("(ss)", device.c_str(), home.c_str()));
    join("phone", "Phone Hotspot");
    ASSERT_TRUE(eventually([&] { return onWlan().ssid == "Phone Hotspot"; }));
    EXPECT_NE(onWlan().uuid, atHome.uuid) << "another network, another account";
    connections.stop();
}

} // namespace
} // namespace korvel::platform::netpath
