#include "platform/dispatch/glib_dispatch.h"

#include <gtest/gtest.h>

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

TEST(GLibDispatch, WorkFromAnyThreadOrQueueRunsInOrderOnTheMainThread) {
    GLibDispatch dispatch;
    Watchdog watchdog(dispatch);
    constexpr int kThreads = 4;
    constexpr int kEach = 250;
    std::vector<std::string> log;
    int fromThreads = 0;
    bool allOnMain = true;
    std::mutex mutex;
    std::vector<int> serialOrder;
    bool serialOnMain = true;
    bool globalOnMain = true;
    bool hopped = false;
    const auto finish = [&] {
        allOnMain = allOnMain && dispatch.isMainThread();
        if (log.size() == 3 && fromThreads == kThreads * kEach && hopped) {
            dispatch.quit();
        }
    };
    for (const char* what : {"a", "b", "c"}) {
        dispatch.mainAsync([&, what] {
            log.push_back(what);
            finish();
        });
    }
    EXPECT_TRUE(log.empty());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                dispatch.mainAsync([&] {
                    ++fromThreads;
                    finish();
                });
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
        dispatch.globalAsyncAfter(0.01, [&] {
            globalOnMain = dispatch.isMainThread();
            dispatch.mainAsync([&] {
                hopped = true;
                finish();
            });
        });
    });
    dispatch.run();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(watchdog.fired);
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(fromThreads, kThreads * kEach);
    EXPECT_TRUE(allOnMain);
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    std::lock_guard lock(mutex);
    EXPECT_EQ(serialOrder, expected);
    EXPECT_FALSE(serialOnMain);
    EXPECT_FALSE(globalOnMain);
}

TEST(GLibDispatch, QuitBeforeRunEndsTheNextRunAndTheClockCountsFrom2001) {
    GLibDispatch dispatch;
    bool ran = false;
    dispatch.mainAsync([&] { ran = true; });
    dispatch.quit();
    dispatch.run();
    EXPECT_FALSE(ran) << "run() returned before iterating";
    dispatch.mainAsync([&] { dispatch.quit(); });
    dispatch.run();
    EXPECT_TRUE(ran);

    const auto unix = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(dispatch.now(), std::chrono::duration<double>(unix).count() - 978'307'200.0, 60.0);
}

} // namespace
} // namespace korvel::platform
