#include "platform/dispatch/notification_center.h"
#include "tests/support/virtual_dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace korvel::platform {
namespace {

TEST(NotificationCenter, DeliversLaterOnTheMainQueueToMatchingObserversInOrder) {
    testing::VirtualDispatch dispatch;
    NotificationCenter center(dispatch);
    std::vector<std::string> log;
    center.addObserver("Korvel.RefreshNow", [&](const Notification& n) {
        log.push_back("first:" + n.name + (dispatch.isMainThread() ? "" : "!"));
    });
    center.addObserver("Korvel.RefreshIntervalChanged",
                       [&](const Notification& n) { log.push_back("other:" + n.name); });
    center.addObserver("", [&](const Notification& n) { log.push_back("all:" + n.name); });
    center.addObserver("Korvel.RefreshNow", [&](const Notification&) { log.push_back("third"); });

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
}

TEST(NotificationCenter, RemovedObserversAndAGoneCentreMissEvenEarlierPosts) {
    testing::VirtualDispatch dispatch;
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
