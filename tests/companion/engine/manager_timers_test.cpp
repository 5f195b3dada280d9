#include "tests/companion/engine/manager_fixture.h"

namespace korvel {
namespace {

using platform::UserInfo;

class ManagerTimersTest : public testing::ManagerFixture {
protected:
    // Posts a notification and lets the main queue deliver it.
    void post(const std::string& name, std::optional<UserInfo> info = std::nullopt) {
        center.post(name, std::move(info));
        dispatch.runPending();
    }
};

TEST_F(ManagerTimersTest, StartupAsksThreeTimesThenOncePerPeriod) {
    start();
    dispatch.advance(12.0);
    EXPECT_EQ(requestTimes(), (std::vector<double>{0.0, 0.8, 2.0, 5.0, 10.0}));
    EXPECT_FALSE(requests[0].showSystem);
}

TEST_F(ManagerTimersTest, AViewersEngineAsksOnceAtATimePublishesNothingAndKeepsItsOwnChoices) {
    ManagerEnvironment env = environment();
    env.publishes = false;
    env.oneRequestAtATime = true;
    start(std::move(env));
    dispatch.advance(12.0);
    EXPECT_EQ(requestTimes(), (std::vector<double>{0.0})) << "a slow helper is not asked again";
    answer(0, reading(100, {{7, "p", std::nullopt, 1, 1}}));
    dispatch.advance(3.0);
    ASSERT_EQ(requestTimes(), (std::vector<double>{0.0, 15.0}));
    answer(1, reading(103, {{7, "p", std::nullopt, 1, 1}, {8, "q", std::nullopt, 1, 1}}));
    EXPECT_EQ(manager->processes.get().size(), 2u) << "the late reply is the newest: merged";
    EXPECT_TRUE(written.empty());
    EXPECT_EQ(removals, 0);
    EXPECT_FALSE(defaults.object(settings::kHelperAvailable));

    manager->overrideShowSystemProcesses(true);
    manager->overrideRefreshPeriod(0.5);
    EXPECT_EQ(manager->refreshPeriod(), 0.5);
    dispatch.advance(0.5);
    EXPECT_TRUE(requests.back().showSystem);
    EXPECT_FALSE(defaults.object(settings::kShowSystemProcesses));
}

TEST_F(ManagerTimersTest, RefreshIntervalSettingIsReadWhenTheTimerIsRescheduled) {
    defaults.setInteger(settings::kAutoRefreshInterval, -3);
    defaults.setBool(settings::kShowSystemProcesses, true);
    start();
    dispatch.advance(3.0);
    EXPECT_EQ(requestTimes(), (std::vector<double>{0.0, 0.8, 1.0, 2.0, 2.0, 3.0}));
    EXPECT_TRUE(requests.back().showSystem);

    defaults.setInteger(settings::kAutoRefreshInterval, 3600);
    requests.clear();
    dispatch.advance(10.0);
    EXPECT_EQ(requests.size(), 10u) << "a new value waits for the reschedule";
    center.post(notifications::kRefreshIntervalChanged);
    requests.clear();
    dispatch.advance(3599.0);
    EXPECT_TRUE(requests.empty());
    dispatch.advance(1.0);
    EXPECT_EQ(requests.size(), 1u);
    for (const auto& [interval, period] :
         std::vector<std::pair<int64_t, double>>{{0, 1.0}, {1, 1.0}, {2, 2.0}}) {
        defaults.setInteger(settings::kAutoRefreshInterval, interval);
        EXPECT_EQ(manager->refreshPeriod(), period) << interval;
    }
}

TEST_F(ManagerTimersTest, PopoverStateSetsBothPeriodsAndTypedUserInfoIsRequired) {
    start();
    dispatch.advance(2.5);
    requests.clear();

    post(notifications::kPopoverVisibilityChanged, UserInfo{{"isVisible", "true"}});
    post(notifications::kPopoverVisibilityChanged);
    post(notifications::kPopoverTabChanged, UserInfo{{"tab", int64_t{3}}});
    EXPECT_FALSE(manager->isPopoverVisible());
    EXPECT_EQ(manager->currentPopoverTab(), "overview");
    EXPECT_TRUE(requests.empty());

    post(notifications::kPopoverVisibilityChanged, UserInfo{{"isVisible", true}});
    ASSERT_EQ(requests.size(), 1u) << "showing the popover refreshes at once";
    EXPECT_EQ(manager->refreshPeriod(), 1.0);
    EXPECT_EQ(manager->trafficSamplerPeriod(), 0.5);

    post(notifications::kPopoverTabChanged, UserInfo{{"tab", std::string("processes")}});
    requests.clear();
    dispatch.advance(2.0);
    EXPECT_EQ(requests.size(), 4u) << "500 ms on the processes tab";
    for (const auto& [tab, period] : std::vector<std::pair<std::string, double>>{
             {"connections", 0.5}, {"interfaces", 1.0}, {"Processes", 1.0}}) {
        post(notifications::kPopoverTabChanged, UserInfo{{"tab", tab}});
        EXPECT_EQ(manager->refreshPeriod(), period) << tab;
    }

    requests.clear();
    post(notifications::kPopoverVisibilityChanged, UserInfo{{"isVisible", false}});
    EXPECT_TRUE(requests.empty()) << "hiding the popover asks for nothing";
    EXPECT_EQ(manager->refreshPeriod(), 5.0);
    dispatch.advance(5.0);
    EXPECT_EQ(requests.size(), 1u);
    for (const char* metric : {"none", "cpu", "Network"}) { // only "network" samples every second
        defaults.setString(settings::kMenuBarMetric, metric);
        EXPECT_EQ(manager->trafficSamplerPeriod(), 5.0) << metric;
    }
}

TEST_F(ManagerTimersTest, DraggingSuspendsRequestsAndEndingItRefreshesAtOnce) {
    start();
    dispatch.advance(2.5);
    const auto generation = manager->generation();
    post(notifications::kOverviewDragStateChanged, UserInfo{{"isDragging", true}});
    EXPECT_TRUE(manager->isInteractionSuspended.get());
    requests.clear();
    dispatch.advance(20.0);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(manager->generation(), generation);

    post(notifications::kOverviewDragStateChanged, UserInfo{{"isDragging", false}});
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_EQ(manager->generation(), generation + 1);
}

TEST_F(ManagerTimersTest, MergesLeaveTheTrafficSamplerOnItsPeriodUntilTheMetricChangesIt) {
    defaults.setBool(settings::kTrafficEnabled, false); // a 15 s sampler beside 5 s refreshes
    start();
    liveCounters = {{"eth0", 1000, 1000}};
    // Each request answered a moment later, as the helper does.
    size_t answered = 0;
    const auto runAnswering = [&](int tenths) {
        for (int i = 0; i < tenths; ++i) {
            dispatch.advance(0.1);
            for (; answered < requests.size(); ++answered) {
                answer(answered, reading(dispatch.now()));
            }
        }
    };
    runAnswering(149);
    EXPECT_TRUE(manager->inboundHistory.get().empty());
    runAnswering(2);
    EXPECT_EQ(manager->inboundHistory.get().size(), 1u) << "at 15 s, though merges came since";
    EXPECT_EQ(manager->outboundHistory.get().size(), 1u);

    // The metric is read again at a merge: the next one is at 20 s.
    defaults.setString(settings::kMenuBarMetric, "network");
    runAnswering(48);
    EXPECT_EQ(manager->inboundHistory.get().size(), 1u);
    runAnswering(25);
    EXPECT_EQ(manager->inboundHistory.get().size(), 3u) << "each second from the merge";
}

TEST_F(ManagerTimersTest, RefreshNowAsksAtOnceButAManagerThatIsGoneIgnoresEverything) {
    start();
    post(notifications::kRefreshNow);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].at, 0.0);
    auto pending = std::move(requests[0].completion);
    std::weak_ptr<KorvelManager> weak = manager;
    manager.reset();
    EXPECT_TRUE(weak.expired());
    requests.clear();
    pending(reading(1.0, {{1, "x", std::nullopt, 0, 0}}));
    center.post(notifications::kRefreshNow);
    dispatch.advance(30.0);
    EXPECT_TRUE(requests.empty());
    EXPECT_TRUE(written.empty());
}

} // namespace
} // namespace korvel
