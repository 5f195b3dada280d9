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

// Ends a run() that would otherwise wait forever because a block never came.
// Only a guard against hanging the suite; nothing is measured.
class Watchdog {
public:
    explicit Watchdog(GLibDispatch& dispatch) {
        dispatch.mainAsyncAfter(60, [this, &dispatch] {
            fired = true;
            dispatch.quit();
        });
    }
    bool fired = false;
};

TEST(GLibDispatch, MainQueueRunsPostedWorkInOrderOnTheMainThread) {
    GLibDispatch dispatch;
    Watchdog watchdog(dispatch);
    std::vector<std::string> log;
    auto record = [&](std::string what) {
        return [&log, &dispatch, what] {
            log.push_back(what + (dispatch.isMainThread() ? "" : "!"));
            if (log.size() == 6) {
                dispatch.quit();
            }
        };
    };
    dispatch.mainAsyncAfter(0.03, record("later"));
    dispatch.mainAsyncAfter(0.01, record("sooner"));
    dispatch.mainAsync(record("a"));
    dispatch.mainAsync(record("b"));
    dispatch.mainAsync([&] { dispatch.mainAsync(record("nested")); });
    dispatch.mainAsync(record("c"));
    EXPECT_TRUE(log.empty());
    dispatch.run();
    EXPECT_FALSE(watchdog.fired);
    // How the nested block interleaves with the delayed ones depends on how
    // busy the machine is; everything else is fixed.
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 3),
              (std::vector<std::string>{"a", "b", "c"}));
    const auto at = [&](const std::string& what) {
        return std::find(log.begin(), log.end(), what) - log.begin();
    };
    EXPECT_LT(at("sooner"), at("later"));
    EXPECT_LT(at("nested"), 6);
}

TEST(GLibDispatch, GlobalAndSerialQueuesHopBackToTheMainQueue) {
    GLibDispatch dispatch;
    Watchdog watchdog(dispatch);
    auto serial = dispatch.makeSerialQueue("korvel.path-monitor");
    std::mutex mutex;
    std::vector<int> serialOrder;
    bool serialOnMain = true;
    bool globalOnMain = true;
    bool hopOnMain = false;

    for (int i = 0; i < 50; ++i) {
        serial->async([&, i] {
            std::lock_guard lock(mutex);
            serialOrder.push_back(i);
            serialOnMain = serialOnMain && dispatch.isMainThread();
        });
    }
    serial->async([&] {
        dispatch.globalAsyncAfter(0.01, [&] {
            globalOnMain = dispatch.isMainThread();
            dispatch.mainAsync([&] {
                hopOnMain = dispatch.isMainThread();
                dispatch.quit();
            });
        });
    });
    dispatch.run();
    EXPECT_FALSE(watchdog.fired);
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    std::lock_guard lock(mutex);
    EXPECT_EQ(serialOrder, expected);
    EXPECT_FALSE(serialOnMain);
    EXPECT_FALSE(globalOnMain);
    EXPECT_TRUE(hopOnMain);
}

TEST(GLibDispatch, PostsFromManyThreadsAllArrive) {
    GLibDispatch dispatch;
    Watchdog watchdog(dispatch);
    constexpr int kThreads = 4;
    constexpr int kEach = 250;
    int delivered = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                dispatch.mainAsync([&] {
                    if (++delivered == kThreads * kEach) {
                        dispatch.quit();
                    }
                });
            }
        });
    }
    dispatch.run();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(watchdog.fired);
    EXPECT_EQ(delivered, kThreads * kEach);
}

TEST(GLibDispatch, RepeatingTimerTicksUntilCancelled) {
    GLibDispatch dispatch;
    Watchdog watchdog(dispatch);
    int ticks = 0;
    std::unique_ptr<DispatchTimer> timer;
    timer = dispatch.mainRepeatingTimer(0.005, [&] {
        if (++ticks == 3) {
            timer->cancel();
            // Long enough for several more periods: none may tick.
            dispatch.mainAsyncAfter(0.05, [&] { dispatch.quit(); });
        }
    });
    dispatch.run();
    EXPECT_FALSE(watchdog.fired);
    EXPECT_EQ(ticks, 3);
}

TEST(GLibDispatch, QuitBeforeRunEndsTheNextRun) {
    GLibDispatch dispatch;
    bool ran = false;
    dispatch.mainAsync([&] { ran = true; });
    dispatch.quit();
    dispatch.run();
    EXPECT_FALSE(ran) << "run() returned before iterating";
    dispatch.mainAsync([&] { dispatch.quit(); });
    dispatch.run();
    EXPECT_TRUE(ran);
}

TEST(GLibDispatch, ClocksAreSane) {
    GLibDispatch dispatch;
    // Absolute time counts from 2001-01-01, not from 1970.
    const auto unix = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(dispatch.now(), std::chrono::duration<double>(unix).count() - 978'307'200.0, 60.0);
    const double first = dispatch.monotonicNow();
    EXPECT_GE(dispatch.monotonicNow(), first);
}

} // namespace
} // namespace korvel::platform
