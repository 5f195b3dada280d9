#include "platform/netpath/path_monitor.h"
#include "tests/platform/netpath/netlink_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace korvel::platform::netpath {
namespace {

using testing::addressMessage;
using testing::Bytes;
using testing::defaultRoute;
using testing::DumpTables;
using testing::FakeNetlinkSource;
using testing::kUp;
using testing::linkMessage;
using testing::names;
using testing::routeMessage;

struct Run {
    std::vector<NetworkPath> paths;
    int opens = 0;
    int dumps = 0;
};

// Runs a monitor over a scripted kernel until the script is used up.
Run runScript(std::unique_ptr<FakeNetlinkSource> source,
              std::unique_ptr<MeteredSource> metered = nullptr) {
    testing::TempDir sys;
    testing::addSysNet(sys.path(), "eth0", 1, true);
    std::filesystem::create_directories(testing::addSysNet(sys.path(), "wlan0", 1, true) /
                                        "wireless");
    FakeNetlinkSource& fake = *source;
    Run run;
    PathMonitor monitor(std::move(source), sys.str(), std::move(metered));
    // Only the monitor's thread touches run.paths until cancel() joins it.
    monitor.setUpdateHandler([&run](NetworkPath path) { run.paths.push_back(std::move(path)); });
    monitor.start([](std::function<void()> work) { work(); });
    fake.waitUntilFinished();
    const auto last = monitor.currentPath();
    monitor.cancel();
    if (!run.paths.empty()) {
        EXPECT_EQ(run.paths.back(), last) << "currentPath() is not the last path handed out";
    }
    run.opens = fake.opens;
    run.dumps = fake.dumps;
    return run;
}

DumpTables twoLinkTables(std::vector<Bytes> routes) {
    return {{testing::Dump::links,
             {linkMessage(RTM_NEWLINK, 2, "eth0", kUp), linkMessage(RTM_NEWLINK, 3, "wlan0", kUp)}},
            {testing::Dump::addresses,
             {addressMessage(RTM_NEWADDR, 2, false, {192, 0, 2, 10}, 24, RT_SCOPE_UNIVERSE)}},
            {testing::Dump::routes, std::move(routes)}};
}

std::unique_ptr<FakeNetlinkSource> twoLinks(std::vector<Bytes> routes) {
    return std::make_unique<FakeNetlinkSource>(twoLinkTables(std::move(routes)));
}

TEST(PathMonitor, FollowsRecordedKernelMessages) {
    const auto scenario = testing::loadScenario(std::string(KORVEL_TEST_SOURCE_DIR) +
                                                "/platform/netpath/fixtures/veth_scenario.txt");
    auto source = std::make_unique<FakeNetlinkSource>(scenario.states.at("initial"));
    for (const auto& [step, events] : scenario.steps) {
        for (const auto& event : events) {
            source->datagram(event);
        }
        source->setTables(scenario.states.at(step));
        source->pause();
        if (step == "wlan-down") {
            // wlan0 comes back without anyone re-adding its route: the route
            // the kernel dropped silently must not come back with it.
            source->datagram(linkMessage(RTM_NEWLINK, 5, "wlan0", kUp));
            source->pause();
        }
    }
    const auto run = runScript(std::move(source));
    const auto& paths = run.paths;

    // Metric 50 beats 100; a default route in a table of its own (as VPN tools install) counts.
    const std::vector<std::vector<std::string>> expected = {
        {"eth0"}, {"wlan0", "eth0"}, {"eth0"}, {}, {"eth0"}};
    ASSERT_EQ(paths.size(), expected.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(names(paths[i]), expected[i]) << i;
        EXPECT_EQ(paths[i].status,
                  expected[i].empty() ? PathStatus::unsatisfied : PathStatus::satisfied);
    }
    EXPECT_TRUE(paths[0].usesInterfaceType(InterfaceType::wiredEthernet));
    EXPECT_TRUE(paths[0].supportsIPv4 && paths[0].supportsIPv6);
    EXPECT_FALSE(paths[0].isExpensive);
    EXPECT_EQ(paths[1].interfaces[0].type, InterfaceType::wifi);
    EXPECT_TRUE(paths[4].supportsIPv4);
    EXPECT_FALSE(paths[4].supportsIPv6);
    // Two full readings: at start and after wlan0 went down.
    EXPECT_EQ(run.opens, 2);
}

TEST(PathMonitor, LostMessagesMeanAFullRereadAndNoHalfPath) {
    const auto ethRoute = routeMessage(defaultRoute(2, 100));
    {
        // The kernel moved the default from eth0 to wlan0; the deletion
        // arrives, the addition is lost in an overflow.
        auto source = twoLinks({ethRoute});
        source->pause();
        source->setTables(twoLinkTables({routeMessage(defaultRoute(3, 50))}));
        source->datagram(routeMessage(defaultRoute(2, 100), RTM_DELROUTE));
        source->overflow();
        const auto run = runScript(std::move(source));
        ASSERT_EQ(run.paths.size(), 2u);
        EXPECT_EQ(names(run.paths[0]), std::vector<std::string>{"eth0"});
        EXPECT_EQ(names(run.paths[1]), std::vector<std::string>{"wlan0"});
        EXPECT_EQ(run.opens, 2);
        EXPECT_EQ(run.dumps, 6);
    }
    {
        // A dump the kernel marks as interrupted is not trusted: read again.
        auto source = twoLinks({ethRoute});
        source->interruptDump(2);
        const auto run = runScript(std::move(source));
        ASSERT_EQ(run.paths.size(), 1u);
        EXPECT_EQ(names(run.paths[0]), std::vector<std::string>{"eth0"});
        EXPECT_EQ(run.dumps, 6);
    }
}

TEST(PathMonitor, HandsOutOnlyChangedPaths) {
    auto source = twoLinks({routeMessage(defaultRoute(2, 100))});
    source->pause();
    // Noise: a new address, then the same route again.
    source->datagram(addressMessage(RTM_NEWADDR, 2, false, {192, 0, 2, 11}, 24, RT_SCOPE_UNIVERSE));
    source->pause();
    source->datagram(routeMessage(defaultRoute(2, 100)));
    source->pause();
    // Carrier lost: the route stays, the path does not.
    source->datagram(linkMessage(RTM_NEWLINK, 2, "eth0", IFF_UP));
    const auto paths = runScript(std::move(source)).paths;
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].status, PathStatus::satisfied);
    EXPECT_EQ(paths[1].status, PathStatus::unsatisfied);
}

// Its verdict turns to metered right after the first reading asked for it.
class TurnsMetered final : public MeteredSource {
public:
    void start(std::function<void()> changed) override { changed_ = std::move(changed); }
    void stop() override {}
    bool isMetered() const override {
        if (asked_++ > 0) {
            return true;
        }
        changed_();
        return false;
    }

private:
    mutable int asked_ = 0;
    std::function<void()> changed_;
};

TEST(PathMonitor, MeteringChangeIsHandedOut) {
    const auto paths =
        runScript(twoLinks({routeMessage(defaultRoute(3, 600))}), std::make_unique<TurnsMetered>())
            .paths;
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_FALSE(paths[0].isExpensive);
    EXPECT_TRUE(paths[1].isExpensive);
    EXPECT_TRUE(paths[1].usesInterfaceType(InterfaceType::wifi));
}

} // namespace
} // namespace korvel::platform::netpath
