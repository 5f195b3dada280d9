#include "platform/dispatch/notification_center.h"
#include "platform/dispatch/virtual_dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace korvel::platform {
namespace {

TEST(NotificationCenter, DeliversTypedInfoLaterOnTheMainQueueToMatchingObserversInOrder) {
    VirtualDispatch dispatch;
    NotificationCenter center(dispatch);
    std::vector<std::string> log;
    center.addObserver("Korvel.RefreshNow", [&](const Notification& n) {
        log.push_back("first:" + n.name + (dispatch.isMainThread() ? "" : "!"));
    });
    center.addObserver("Korvel.RefreshIntervalChanged",
                       [&](const Notification& n) { log.push_back("other:" + n.name); });
    center.addObserver("", [&](const Notification& n) { log.push_back("all:" + n.name); });
    center.addObserver("Korvel.RefreshNow", [&](const Notification&) { log.push_back("third"); });
    std::vector<Notification> received;
    center.addObserver("Korvel.PopoverVisibilityChanged",
                       [&](const Notification& n) { received.push_back(n); });

    center.post("Korvel.RefreshNow");
    EXPECT_TRUE(log.empty()) << "observers never run inside post()";
    dispatch.runPending();
    EXPECT_EQ(log, (std::vector<std::string>{"first:Korvel.RefreshNow", "all:Korvel.RefreshNow",
                                             "third"}));

    log.clear();
    std::thread poster([&] { center.post("Korvel.RefreshIntervalChanged"); });
    poster.join();
    dispatch.runPending();
    EXPECT_EQ(log, (std::vector<std::string>{"other:Korvel.RefreshIntervalChanged",
                                             "all:Korvel.RefreshIntervalChanged"}));

    // User info keeps its types.
    center.post("Korvel.PopoverVisibilityChanged",
                UserInfo{{"bool", true}, {"string", "true"}, {"int", int64_t{1}}});
    center.post("Korvel.PopoverVisibilityChanged");
    dispatch.runPending();
    ASSERT_EQ(received.size(), 2u);
    const Notification& typed = received[0];
    EXPECT_EQ(typed.boolValue("bool"), true);
    EXPECT_EQ(typed.stringValue("string"), "true");
    EXPECT_EQ(typed.boolValue("string"), std::nullopt);
    EXPECT_EQ(typed.boolValue("int"), std::nullopt);
    EXPECT_EQ(typed.stringValue("int"), std::nullopt);
    EXPECT_EQ(typed.boolValue("absent"), std::nullopt);
    EXPECT_FALSE(received[1].userInfo);
    EXPECT_EQ(received[1].boolValue("bool"), std::nullopt);
}

TEST(NotificationCenter, RemovedObserversAndAGoneCentreMissEvenEarlierPosts) {
    VirtualDispatch dispatch;
    int kept = 0;
    int removed = 0;
    {
        NotificationCenter center(dispatch);
        center.addObserver("Korvel.MenuBarDataRefreshed", [&](const Notification&) { ++kept; });
        const auto token = center.addObserver("Korvel.MenuBarDataRefreshed",
                                              [&](const Notification&) { ++removed; });
        center.post("Korvel.MenuBarDataRefreshed");
        center.removeObserver(token);
        center.removeObserver(token);
        center.post("Korvel.MenuBarDataRefreshed");
        dispatch.runPending();
        EXPECT_EQ(kept, 2);
        EXPECT_EQ(removed, 0);
        // Queued when the centre goes away: delivered to nobody.
        center.post("Korvel.MenuBarDataRefreshed");
    }
    dispatch.runPending();
    EXPECT_EQ(kept, 2);
}

} // namespace
} // namespace korvel::platform
