#include "platform/netpath/path_monitor.h"
#include "tests/platform/netpath/netlink_fixture.h"

#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>

#include <filesystem>
#include <fstream>
#include <mutex>

namespace korvel::platform::netpath {
namespace {

using testing::Bytes;
using testing::DumpTables;
using testing::FakeNetlinkSource;
using testing::RouteSpec;
namespace fs = std::filesystem;

constexpr uint32_t kUp = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;

// A /sys with lo, a wired eth0 and a wireless wlan0.
class SysTree {
public:
    SysTree()
        : root_(fs::temp_directory_path() /
                ("korvel-netpath-" +
                 std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                 std::to_string(reinterpret_cast<uintptr_t>(this)))) {
        add("lo", 772, false, false);
        add("eth0", 1, true, false);
        add("wlan0", 1, true, true);
    }
    ~SysTree() { fs::remove_all(root_); }
    std::string root() const { return root_.string(); }

private:
    void add(const std::string& name, int type, bool device, bool wireless) {
        const auto dir = root_ / "class" / "net" / name;
        fs::create_directories(dir);
        std::ofstream(dir / "type") << type << "\n";
        if (device) {
            fs::create_directories(root_ / "devices" / name);
            fs::create_directory_symlink(root_ / "devices" / name, dir / "device");
        }
        if (wireless) {
            fs::create_directories(dir / "wireless");
        }
    }
    fs::path root_;
};

// Collects what the monitor hands out, in order.
struct Recorder {
    std::mutex mutex;
    std::vector<NetworkPath> paths;
    void add(NetworkPath path) {
        std::lock_guard lock(mutex);
        paths.push_back(std::move(path));
    }
    std::vector<NetworkPath> taken() {
        std::lock_guard lock(mutex);
        return paths;
    }
};

// Runs a monitor over a scripted kernel until the script is used up.
std::vector<NetworkPath> runScript(const std::shared_ptr<FakeNetlinkSource>& source,
                                   const SysTree& sys,
                                   std::unique_ptr<MeteredSource> metered = nullptr) {
    Recorder recorder;
    PathMonitor monitor(FakeNetlinkSource::shared(source), sys.root(), std::move(metered));
    monitor.setUpdateHandler([&recorder](NetworkPath path) { recorder.add(std::move(path)); });
    monitor.start([](std::function<void()> work) { work(); });
    source->waitUntilFinished();
    const auto last = monitor.currentPath();
    monitor.cancel();
    auto paths = recorder.taken();
    if (!paths.empty()) {
        EXPECT_EQ(paths.back(), last) << "currentPath() is not the last path handed out";
    }
    return paths;
}

std::vector<std::string> names(const NetworkPath& path) {
    std::vector<std::string> out;
    for (const auto& interface : path.interfaces) {
        out.push_back(interface.name);
    }
    return out;
}

DumpTables twoLinkTables(std::vector<Bytes> routes) {
    return {{testing::Dump::links,
             {testing::linkMessage(RTM_NEWLINK, 1, "lo", kUp | IFF_LOOPBACK),
              testing::linkMessage(RTM_NEWLINK, 2, "eth0", kUp),
              testing::linkMessage(RTM_NEWLINK, 3, "wlan0", kUp)}},
            {testing::Dump::addresses,
             {testing::addressMessage(RTM_NEWADDR, 2, false, testing::ipv4(192, 0, 2, 10), 24,
                                      RT_SCOPE_UNIVERSE)}},
            {testing::Dump::routes, std::move(routes)}};
}

Bytes defaultRoute(uint16_t type, int index, uint32_t metric, Bytes gateway) {
    RouteSpec spec;
    spec.type = type;
    spec.interfaceIndex = index;
    spec.metric = metric;
    spec.gateway = std::move(gateway);
    return testing::routeMessage(spec);
}

TEST(PathMonitor, FollowsRecordedKernelMessages) {
    const auto scenario = testing::loadScenario(std::string(KORVEL_TEST_SOURCE_DIR) +
                                                "/platform/netpath/fixtures/veth_scenario.txt");
    SysTree sys;
    auto source = std::make_shared<FakeNetlinkSource>(scenario.states.at("initial"));
    for (const auto& [step, events] : scenario.steps) {
        for (const auto& event : events) {
            source->datagram(event);
        }
        source->setTables(scenario.states.at(step));
        source->pause();
        if (step == "wlan-down") {
            // wlan0 comes back without anyone re-adding its route: the route
            // the kernel dropped silently must not come back with it.
            source->datagram(testing::linkMessage(RTM_NEWLINK, 5, "wlan0", kUp));
            source->pause();
        }
    }
    const auto paths = runScript(source, sys);

    ASSERT_EQ(paths.size(), 5u);
    EXPECT_EQ(paths[0].status, PathStatus::satisfied);
    EXPECT_EQ(names(paths[0]), std::vector<std::string>{"eth0"});
    EXPECT_TRUE(paths[0].usesInterfaceType(InterfaceType::wiredEthernet));
    EXPECT_TRUE(paths[0].supportsIPv4);
    EXPECT_TRUE(paths[0].supportsIPv6);
    EXPECT_FALSE(paths[0].isExpensive);
    EXPECT_FALSE(paths[0].isConstrained);

    // Metric 50 beats 100: the new link leads.
    EXPECT_EQ(names(paths[1]), (std::vector<std::string>{"wlan0", "eth0"}));
    EXPECT_EQ(paths[1].interfaces[0].type, InterfaceType::wifi);

    EXPECT_EQ(names(paths[2]), std::vector<std::string>{"eth0"});

    EXPECT_EQ(paths[3].status, PathStatus::unsatisfied);
    EXPECT_TRUE(paths[3].interfaces.empty());
    EXPECT_FALSE(paths[3].usesInterfaceType(InterfaceType::wiredEthernet));

    // A default route in a table of its own (as VPN tools install) counts.
    EXPECT_EQ(paths[4].status, PathStatus::satisfied);
    EXPECT_EQ(names(paths[4]), std::vector<std::string>{"eth0"});
    EXPECT_TRUE(paths[4].supportsIPv4);
    EXPECT_FALSE(paths[4].supportsIPv6);
    // Two full readings: at start and after wlan0 went down.
    EXPECT_EQ(source->openCount(), 2);
}

TEST(PathMonitor, LostMessagesMeanAFullRereadAndNoHalfPath) {
    SysTree sys;
    const auto ethRoute = defaultRoute(RTM_NEWROUTE, 2, 100, testing::ipv4(192, 0, 2, 1));
    const auto wlanRoute = defaultRoute(RTM_NEWROUTE, 3, 50, testing::ipv4(198, 51, 100, 1));
    {
        // The kernel moved the default from eth0 to wlan0; the deletion
        // arrives, the addition is lost in an overflow.
        auto source = std::make_shared<FakeNetlinkSource>(twoLinkTables({ethRoute}));
        source->pause();
        source->setTables(twoLinkTables({wlanRoute}));
        source->datagram(defaultRoute(RTM_DELROUTE, 2, 100, testing::ipv4(192, 0, 2, 1)));
        source->overflow();
        const auto paths = runScript(source, sys);
        ASSERT_EQ(paths.size(), 2u);
        EXPECT_EQ(names(paths[0]), std::vector<std::string>{"eth0"});
        EXPECT_EQ(names(paths[1]), std::vector<std::string>{"wlan0"});
        EXPECT_EQ(source->openCount(), 2);
        EXPECT_EQ(source->dumpCount(), 6);
    }
    {
        // A dump the kernel marks as interrupted is not trusted: read again.
        auto source = std::make_shared<FakeNetlinkSource>(twoLinkTables({ethRoute}));
        source->interruptDump(2);
        const auto paths = runScript(source, sys);
        ASSERT_EQ(paths.size(), 1u);
        EXPECT_EQ(names(paths[0]), std::vector<std::string>{"eth0"});
        EXPECT_EQ(source->dumpCount(), 6);
    }
    {
        // A datagram whose message runs past its end: read again, and
        // hand out nothing from it.
        auto source = std::make_shared<FakeNetlinkSource>(twoLinkTables({ethRoute}));
        source->pause();
        auto torn = defaultRoute(RTM_DELROUTE, 2, 100, testing::ipv4(192, 0, 2, 1));
        torn.resize(torn.size() - 8);
        source->datagram(torn);
        const auto paths = runScript(source, sys);
        ASSERT_EQ(paths.size(), 1u);
        EXPECT_EQ(source->openCount(), 2);
    }
}

TEST(PathMonitor, HandsOutOnlyChangedPaths) {
    SysTree sys;
    auto source = std::make_shared<FakeNetlinkSource>(
        twoLinkTables({defaultRoute(RTM_NEWROUTE, 2, 100, testing::ipv4(192, 0, 2, 1))}));
    source->pause();
    // Noise: a new address, the same route again, a bridge-port removal.
    source->datagram(testing::addressMessage(RTM_NEWADDR, 2, false, testing::ipv4(192, 0, 2, 11),
                                             24, RT_SCOPE_UNIVERSE));
    source->pause();
    source->datagram(defaultRoute(RTM_NEWROUTE, 2, 100, testing::ipv4(192, 0, 2, 1)));
    source->pause();
    source->datagram(testing::linkMessage(RTM_DELLINK, 2, "eth0", kUp, AF_BRIDGE));
    source->pause();
    // Carrier lost: the route stays, the path does not.
    source->datagram(testing::linkMessage(RTM_NEWLINK, 2, "eth0", IFF_UP));
    const auto paths = runScript(source, sys);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].status, PathStatus::satisfied);
    EXPECT_EQ(paths[1].status, PathStatus::unsatisfied);
}

class SwitchableMetered final : public MeteredSource {
public:
    void start(std::function<void()> changed) override { changed_ = std::move(changed); }
    void stop() override {}
    bool isMetered() const override { return metered_; }
    void set(bool metered) {
        metered_ = metered;
        changed_();
    }

private:
    std::atomic<bool> metered_{false};
    std::function<void()> changed_;
};

TEST(PathMonitor, MeteringChangeIsHandedOut) {
    SysTree sys;
    auto source = std::make_shared<FakeNetlinkSource>(
        twoLinkTables({defaultRoute(RTM_NEWROUTE, 3, 600, testing::ipv4(198, 51, 100, 1))}));
    source->waitForWake();
    auto metered = std::make_unique<SwitchableMetered>();
    auto* meteredSource = metered.get();
    Recorder recorder;
    PathMonitor monitor(FakeNetlinkSource::shared(source), sys.root(), std::move(metered));
    std::mutex mutex;
    std::condition_variable first;
    monitor.setUpdateHandler([&](NetworkPath path) {
        recorder.add(std::move(path));
        first.notify_all();
    });
    monitor.start([](std::function<void()> work) { work(); });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(first.wait_for(lock, std::chrono::seconds(30),
                                   [&] { return !recorder.taken().empty(); }));
    }
    meteredSource->set(true);
    source->waitUntilFinished();
    monitor.cancel();
    const auto paths = recorder.taken();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_FALSE(paths[0].isExpensive);
    EXPECT_TRUE(paths[1].isExpensive);
    EXPECT_TRUE(paths[1].usesInterfaceType(InterfaceType::wifi));
}

} // namespace
} // namespace korvel::platform::netpath
