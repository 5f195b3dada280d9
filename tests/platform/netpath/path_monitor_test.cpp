#include "platform/netpath/interface_kind.h"
#include "platform/netpath/path_monitor.h"
#include "platform/netpath/rtnetlink_socket.h"
#include "tests/platform/netpath/netlink_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <thread>
#include <tuple>

namespace korvel::platform::netpath {
namespace {

using namespace korvel::testing;

struct Run {
    std::vector<NetworkPath> paths;
    int opens = 0;
    int dumps = 0;
};

// Runs a monitor over a scripted kernel until the script is used up.
Run runScript(std::unique_ptr<FakeNetlinkSource> source,
              std::unique_ptr<ConnectionSource> metered = nullptr) {
    TempDir sys;
    addSysNet(sys.path(), "eth0", 1, true);
    std::filesystem::create_directories(addSysNet(sys.path(), "wlan0", 1, true) / "wireless");
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
    return {{Dump::links,
             {linkMessage(RTM_NEWLINK, 2, "eth0", kUp), linkMessage(RTM_NEWLINK, 3, "wlan0", kUp)}},
            {Dump::addresses,
             {addressMessage(RTM_NEWADDR, 2, false, {192, 0, 2, 10}, 24, RT_SCOPE_UNIVERSE)}},
            {Dump::routes, std::move(routes)}};
}

std::unique_ptr<FakeNetlinkSource> twoLinks(std::vector<Bytes> routes) {
    return std::make_unique<FakeNetlinkSource>(twoLinkTables(std::move(routes)));
}

TEST(PathMonitor, FollowsRecordedKernelMessages) {
    const auto scenario = loadScenario(std::string(KORVEL_TEST_SOURCE_DIR) +
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

// Its verdict turns to metered right after the first reading asked for it.
class TurnsMetered final : public ConnectionSource {
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

TEST(InterfaceKind, FromSysfs) {
    TempDir sys;
    const auto& root = sys.path();
    const auto add = [&](const std::string& name, int type, bool device) {
        return addSysNet(root, name, type, device);
    };
    add("lo", 772, false);
    add("enp3s0", 1, true);
    std::filesystem::create_directories(add("wlp2s0", 1, true) / "wireless");
    std::filesystem::create_directory_symlink(root / "devices", add("wlan1", 1, true) / "phy80211");
    std::ofstream(add("wwan0", 1, true) / "uevent") << "INTERFACE=wwan0\nIFINDEX=7\nDEVTYPE=wwan\n";
    std::ofstream(add("br0", 1, false) / "uevent") << "DEVTYPE=bridge\nINTERFACE=br0\n";
    add("veth0", 1, false);
    add("wg0", 65534, false);

    const std::pair<const char*, InterfaceType> expected[] = {
        {"lo", InterfaceType::loopback},
        {"enp3s0", InterfaceType::wiredEthernet},
        {"wlp2s0", InterfaceType::wifi},
        {"wlan1", InterfaceType::wifi},
        {"wwan0", InterfaceType::cellular},
        // Ethernet-typed but virtual: not wired Ethernet.
        {"br0", InterfaceType::other},
        {"wg0", InterfaceType::other},
        {"gone0", InterfaceType::other},
        // A name that would climb out of the class directory is not looked up.
        {"../net/enp3s0", InterfaceType::other},
    };
    for (const auto& [name, type] : expected) {
        EXPECT_EQ(interfaceTypeFromSysfs(root, name), type) << name;
    }

    // A server's stack: two ports bonded, the bond bridged, a VLAN on a port.
    std::filesystem::create_directories(add("bond0", 1, false) / "bonding");
    std::filesystem::create_directories(root / "class" / "net" / "br0" / "bridge");
    std::filesystem::create_directory_symlink("../bond0", add("eth1", 1, true) / "master");
    std::filesystem::create_directory_symlink("../br0",
                                              root / "class" / "net" / "bond0" / "master");
    std::ofstream(add("enp3s0.100", 1, false) / "uevent") << "DEVTYPE=vlan\n";
    std::filesystem::create_directory_symlink("../enp3s0.100", root / "class" / "net" / "enp3s0" /
                                                                   "upper_enp3s0.100");
    std::ofstream(add("tun0", 65534, false) / "tun_flags") << "0x1001\n";
    std::ofstream(add("tap0", 1, false) / "tun_flags") << "0x1002\n";
    std::ofstream(add("wgvpn", 65534, false) / "uevent") << "DEVTYPE=wireguard\n";
    add("gre1", 778, false);
    using Kind = LinkKind;
    const std::tuple<const char*, Kind, std::vector<std::string>> facts[] = {
        {"lo", Kind::loopback, {}},
        {"enp3s0", Kind::hardware, {"enp3s0.100"}},
        {"wlan1", Kind::hardware, {}},
        {"eth1", Kind::hardware, {"bond0"}},
        {"bond0", Kind::bond, {"br0"}},
        {"br0", Kind::bridge, {}},
        {"enp3s0.100", Kind::vlan, {}},
        {"veth0", Kind::virtualLink, {}},
        {"tap0", Kind::virtualLink, {}},
        {"tun0", Kind::tunnel, {}},
        {"wg0", Kind::tunnel, {}},
        {"wgvpn", Kind::tunnel, {}},
        {"gre1", Kind::tunnel, {}},
        {"gone0", Kind::unknown, {}},
        {"../net/enp3s0", Kind::unknown, {}},
    };
    for (const auto& [name, kind, uppers] : facts) {
        EXPECT_EQ(linkFactsFromSysfs(root, name), (LinkFacts{kind, uppers})) << name;
    }
}

// The real kernel, in a network namespace of this test's own: the monitor
// follows routes that the test adds and removes with ip(8).
TEST(LivePathMonitor, FollowsTheKernelInAPrivateNamespace) {
    bool skipped = false;
    std::vector<NetworkPath> paths;
    std::thread worker([&] {
        // Only this thread (and what it starts) enters the new namespace.
        skipped =
            ::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up >/dev/null 2>&1") != 0;
        if (skipped) {
            return;
        }
        std::mutex mutex;
        std::condition_variable arrived;
        PathMonitor monitor(std::make_unique<RtnetlinkSocket>(), "/sys",
                            std::make_unique<NoConnectionManager>());
        monitor.setUpdateHandler([&](NetworkPath path) {
            std::lock_guard lock(mutex);
            paths.push_back(std::move(path));
            arrived.notify_all();
        });
        const auto waitFor = [&](size_t count) {
            std::unique_lock lock(mutex);
            return arrived.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return paths.size() >= count; });
        };
        monitor.start([](std::function<void()> work) { work(); });
        if (waitFor(1) && std::system("ip route add default dev lo metric 7") == 0 && waitFor(2)) {
            std::system("ip route del default dev lo metric 7");
            waitFor(3);
        }
        monitor.cancel();
    });
    worker.join();
    if (skipped) {
        GTEST_SKIP() << "no network namespace of our own, or no ip(8)";
    }
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0].status, PathStatus::unsatisfied);
    EXPECT_EQ(paths[1].status, PathStatus::satisfied);
    EXPECT_EQ(names(paths[1]), std::vector<std::string>{"lo"});
    EXPECT_EQ(paths[2].status, PathStatus::unsatisfied);
}

} // namespace
} // namespace korvel::platform::netpath
