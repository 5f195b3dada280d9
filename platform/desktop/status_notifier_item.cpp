#include "platform/desktop/status_notifier_item.h"

#include "platform/dbus/bus_connection.h"

#include <gio/gio.h>

#include <atomic>
#include <unistd.h>

namespace korvel::platform::desktop {
namespace {

constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";

constexpr const char* kIntrospection = R"xml(
<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewToolTip"/>
    <signal name="XAyatanaNewLabel"><arg type="s"/><arg type="s"/></signal>
  </interface>
</node>)xml";

GVariant* pixmaps(const std::string& pixels) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    const size_t size = 4u * StatusNotifierItem::kIconSize * StatusNotifierItem::kIconSize;
    if (pixels.size() == size) {
        g_variant_builder_add(
            &builder, "(ii@ay)", StatusNotifierItem::kIconSize, StatusNotifierItem::kIconSize,
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, pixels.data(), pixels.size(), 1));
    }
    return g_variant_builder_end(&builder);
}

} // namespace

struct StatusNotifierItem::State {
    std::string id;
    Content content;
    std::function<void()> onActivate;
    GDBusConnection* bus = nullptr;
    GDBusNodeInfo* node = nullptr;
    guint object = 0;
    guint watch = 0;
    std::string name;

    ~State() {
        if (watch != 0) {
            g_bus_unwatch_name(watch);
        }
        if (bus != nullptr) {
            if (object != 0) {
                g_dbus_connection_unregister_object(bus, object);
            }
            if (!name.empty()) {
                g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "ReleaseName",
                                       g_variant_new("(s)", name.c_str()), nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
            }
            g_object_unref(bus);
        }
        if (node != nullptr) {
            g_dbus_node_info_unref(node);
        }
    }

    GVariant* property(const char* name) const {
        const std::string_view p(name);
        if (p == "Category") {
            return g_variant_new_string("ApplicationStatus");
        }
        if (p == "Id") {
            return g_variant_new_string(id.c_str());
        }
        if (p == "Title" || p == "XAyatanaLabel") {
            return g_variant_new_string(content.title.c_str());
        }
        if (p == "Status") {
            return g_variant_new_string("Active");
        }
        if (p == "IconName") {
            return g_variant_new_string(content.iconPixels.empty() ? content.iconName.c_str() : "");
        }
        if (p == "IconPixmap") {
            return pixmaps(content.iconPixels);
        }
        if (p == "ToolTip") {
            return g_variant_new("(s@a(iiay)ss)", content.iconName.c_str(), pixmaps(""),
                                 content.title.c_str(), "");
        }
        if (p == "ItemIsMenu") {
            return g_variant_new_boolean(FALSE);
        }
        return nullptr;
    }

    void emit(const char* signal, GVariant* parameters = nullptr) const {
        g_dbus_connection_emit_signal(bus, nullptr, kItemPath, kItemInterface, signal, parameters,
                                      nullptr);
    }
};

StatusNotifierItem::StatusNotifierItem(std::string id, Content content,
                                       std::function<void()> onActivate,
                                       const std::string& busAddress)
    : state_(std::make_shared<State>()) {
    State& s = *state_;
    s.id = std::move(id);
    s.content = std::move(content);
    s.onActivate = std::move(onActivate);
    s.bus = busAddress.empty() ? g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)
                               : openBusConnection(MessageBus::session, busAddress);
    if (s.bus == nullptr) {
        return;
    }
    s.node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant*,
           GDBusMethodInvocation* invocation, gpointer data) {
            auto* state = static_cast<State*>(data);
            if (std::string_view(method) == "Activate" && state->onActivate) {
                state->onActivate();
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        [](GDBusConnection*, const char*, const char*, const char*, const char* property, GError**,
           gpointer data) { return static_cast<State*>(data)->property(property); },
        nullptr,
        {}};
    s.object = g_dbus_connection_register_object(s.bus, kItemPath, s.node->interfaces[0], &vtable,
                                                 &s, nullptr, nullptr);
    static std::atomic<int> count{0};
    const std::string wanted = std::string(kItemInterface) + "-" + std::to_string(::getpid()) +
                               "-" + std::to_string(++count);
    GVariant* reply = g_dbus_connection_call_sync(
        s.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", wanted.c_str(), 4u /* do not queue */),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    if (reply != nullptr) {
        guint32 result = 0;
        g_variant_get(reply, "(u)", &result);
        g_variant_unref(reply);
        s.name = result == 1 ? wanted : g_dbus_connection_get_unique_name(s.bus);
    }
    // Registers now if a watcher runs, and again whenever one (re)appears.
    s.watch = g_bus_watch_name_on_connection(
        s.bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection* bus, const char*, const char*, gpointer data) {
            const auto* state = static_cast<State*>(data);
            g_dbus_connection_call(bus, kWatcherName, "/StatusNotifierWatcher", kWatcherName,
                                   "RegisterStatusNotifierItem",
                                   g_variant_new("(s)", state->name.c_str()), nullptr,
                                   G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
        },
        nullptr, &s, nullptr);
}

StatusNotifierItem::~StatusNotifierItem() = default;

void StatusNotifierItem::set(Content content) {
    State& s = *state_;
    const bool newTitle = content.title != s.content.title;
    const bool newIcon =
        content.iconName != s.content.iconName || content.iconPixels != s.content.iconPixels;
    s.content = std::move(content);
    if (s.bus == nullptr) {
        return;
    }
    if (newTitle) {
        s.emit("NewTitle");
        s.emit("NewToolTip");
        s.emit("XAyatanaNewLabel",
               g_variant_new("(ss)", s.content.title.c_str(), s.content.title.c_str()));
    }
    if (newIcon) {
        s.emit("NewIcon");
    }
}

} // namespace korvel::platform::desktop
