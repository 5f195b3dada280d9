#include "platform/netpath/path_monitor.h"
#include "platform/netpath/rtnetlink_socket.h"
#include "tests/platform/netpath/netlink_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace korvel::platform::netpath {
namespace {

// The real kernel, in a network namespace of this test's own: the monitor
// follows routes that the test adds and removes with ip(8).
TEST(LivePathMonitor, FollowsTheKernelInAPrivateNamespace) {
    testing::TempDir sys;
    testing::addSysNet(sys.path(), "lo", 772, false);

    std::string skipped;
    std::vector<NetworkPath> paths;
    std::thread worker([&] {
        // Only this thread (and what it starts) enters the new namespace.
        if (::unshare(CLONE_NEWNET) != 0) {
            skipped = "no permission to make a network namespace";
            return;
        }
        if (std::system("ip link set lo up >/dev/null 2>&1") != 0) {
            skipped = "ip(8) is not available";
            return;
        }
        std::mutex mutex;
        std::condition_variable arrived;
        PathMonitor monitor(std::make_unique<RtnetlinkSocket>(), sys.str(),
                            std::make_unique<NeverMetered>());
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
        if (!waitFor(1)) {
            return;
        }
        std::system("ip route add default dev lo metric 7");
        if (!waitFor(2)) {
            return;
        }
        std::system("ip route del default dev lo metric 7");
        waitFor(3);
        monitor.cancel();
    });
    worker.join();
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0].status, PathStatus::unsatisfied);
    EXPECT_EQ(paths[1].status, PathStatus::satisfied);
    ASSERT_EQ(paths[1].interfaces.size(), 1u);
    EXPECT_EQ(paths[1].interfaces[0].name, "lo");
    EXPECT_TRUE(paths[1].usesInterfaceType(InterfaceType::loopback));
    EXPECT_EQ(paths[2].status, PathStatus::unsatisfied);
}

} // namespace
} // namespace korvel::platform::netpath
