#include "platform/desktop/desktop_notifier.h"
#include "tests/support/mocked_bus.h"

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

// A notification daemon as python3-dbusmock simulates it: ours reach it with
// their text, and a click on one of ours, and only ours, is heard.
TEST(DesktopNotifierTest, ReachesTheDaemonAndHearsClicksOnItsOwn) {
    korvel::testing::MockedBus bus("notification_daemon", "org.freedesktop.Notifications", false);
    if (bus.address().empty()) {
        GTEST_SKIP() << "no dbus-daemon or python3-dbusmock to simulate a notification daemon";
    }
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    int clicks = 0;
    std::string clicked;
    DesktopNotifier notifier(
        [&](const std::string& subject) {
            ++clicks;
            clicked = subject;
        },
        bus.address());
    ASSERT_TRUE(
        notifier.notify("Phone has used 80 % of its data plan", "200 MB of 250 MB", "Phone"));

    GVariant* calls =
        bus.call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                 "org.freedesktop.DBus.Mock", "GetMethodCalls", g_variant_new("(s)", "Notify"));
    ASSERT_NE(calls, nullptr);
    gchar* text = g_variant_print(calls, FALSE);
    EXPECT_NE(std::string(text).find("Phone has used 80 % of its data plan"), std::string::npos)
        << text;
    g_free(text);
    g_variant_unref(calls);

    const auto click = [&](guint32 id) {
        GVariantBuilder args;
        g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
        g_variant_builder_add(&args, "v", g_variant_new_uint32(id));
        g_variant_builder_add(&args, "v", g_variant_new_string("default"));
        GVariant* done = bus.call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                  "org.freedesktop.DBus.Mock", "EmitSignal",
                                  g_variant_new("(sssav)", "org.freedesktop.Notifications",
                                                "ActionInvoked", "us", &args));
        ASSERT_NE(done, nullptr);
        g_variant_unref(done);
    };
    click(999); // another program's
    click(1);   // the daemon numbers from 1: ours
    // Bounded wait for the signal to arrive on this thread's context.
    for (int i = 0; i < 200 && clicks == 0; ++i) {
        g_main_context_iteration(context, FALSE);
        g_usleep(20000);
    }
    for (int i = 0; i < 10; ++i) {
        g_main_context_iteration(context, FALSE);
    }
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(clicked, "Phone") << "the click names what the notification was about";
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

} // namespace
} // namespace korvel::platform
