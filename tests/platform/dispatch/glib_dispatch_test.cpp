#include "platform/dispatch/glib_dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace korvel::platform {
namespace {

TEST(GLibDispatch, WorkFromAnyThreadOrQueueRunsInOrderOnTheMainThreadUntilQuit) {
    GLibDispatch dispatch;
    bool watchdogFired = false; // a guard against hanging the suite; nothing is measured
    dispatch.onMainAfter(60, [&] {
        watchdogFired = true;
        dispatch.quit();
    });
    std::vector<std::string> log; // main thread only
    bool allOnMain = true;
    std::mutex mutex;
    std::vector<int> serialOrder;
    bool serialOnMain = true;
    const auto onMain = [&](const std::string& what) {
        dispatch.onMain([&, what] {
            allOnMain = allOnMain && dispatch.isMainThread();
            log.push_back(what);
            if (log.size() == 4 + 2 * 100) {
                dispatch.quit();
            }
        });
    };
    for (const char* what : {"a", "b", "c"}) {
        onMain(what);
    }
    EXPECT_TRUE(log.empty());
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                onMain("thread");
            }
        });
    }
    auto serial = dispatch.makeSerialQueue("korvel.path-monitor");
    for (int i = 0; i < 50; ++i) {
        serial->async([&, i] {
            std::lock_guard lock(mutex);
            serialOrder.push_back(i);
            serialOnMain = serialOnMain && dispatch.isMainThread();
        });
    }
    serial->async([&] {
        dispatch.inBackgroundAfter(0.01, [&] { onMain(dispatch.isMainThread() ? "!" : "hop"); });
    });
    dispatch.run();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(watchdogFired);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 3),
              (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(std::count(log.begin(), log.end(), "hop"), 1);
    EXPECT_TRUE(allOnMain);
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    std::lock_guard lock(mutex);
    EXPECT_EQ(serialOrder, expected);
    EXPECT_FALSE(serialOnMain);

    // A quit before run() ends the next run; the clock counts from 2001.
    bool ran = false;
    dispatch.onMain([&] { ran = true; });
    dispatch.quit();
    dispatch.run();
    EXPECT_FALSE(ran) << "run() returned before iterating";
    dispatch.onMain([&] { dispatch.quit(); });
    dispatch.run();
    EXPECT_TRUE(ran);

    const auto unix = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(dispatch.now(), std::chrono::duration<double>(unix).count() - 978'307'200.0, 60.0);
}

} // namespace
} // namespace korvel::platform
