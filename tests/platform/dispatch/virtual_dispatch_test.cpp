#include "platform/dispatch/timed_queue.h"
#include "tests/support/virtual_dispatch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel::platform {
namespace {

TEST(VirtualDispatch, RepeatingTimersTickOnExactPeriodBoundariesUntilCancelled) {
    testing::VirtualDispatch dispatch;
    std::vector<double> ticks;
    std::unique_ptr<DispatchTimer> timer =
        dispatch.mainRepeatingTimer(0.5, [&] { ticks.push_back(dispatch.monotonicNow()); });
    dispatch.advance(2.5); // the first deadline is one period ahead
    EXPECT_EQ(ticks, (std::vector<double>{0.5, 1.0, 1.5, 2.0, 2.5}));

    timer->cancel();
    EXPECT_EQ(dispatch.activeTimerCount(), 0u);
    dispatch.advance(10); // no tick after the cancel: the full list below shows none

    // A recreated timer starts one new period from its creation; replacing
    // the handle cancels the old one.
    timer = dispatch.mainRepeatingTimer(5, [&] { ticks.push_back(-dispatch.monotonicNow()); });
    dispatch.advance(7);
    timer = dispatch.mainRepeatingTimer(1, [&] { ticks.push_back(dispatch.monotonicNow()); });
    dispatch.advance(2.5);
    EXPECT_EQ(ticks, (std::vector<double>{0.5, 1.0, 1.5, 2.0, 2.5, -17.5, 20.5, 21.5}));
    timer.reset();
    EXPECT_EQ(dispatch.activeTimerCount(), 0u);

    // Cancelled from its own handler, or by a block due at the same instant as
    // its third tick but scheduled before that tick was, so the tick never comes.
    int selfTicks = 0;
    timer = dispatch.mainRepeatingTimer(1, [&] {
        if (++selfTicks == 2) {
            timer->cancel();
        }
    });
    int otherTicks = 0;
    auto other = dispatch.mainRepeatingTimer(1, [&] { ++otherTicks; });
    dispatch.onMainAfter(3, [&] { other->cancel(); });
    dispatch.advance(10);
    EXPECT_EQ(selfTicks, 2);
    EXPECT_EQ(otherTicks, 2);
}

TEST(VirtualDispatch, WorkRunsInDeadlineOrderIncludingWorkScheduledWhileAdvancing) {
    testing::VirtualDispatch dispatch;
    std::vector<std::pair<std::string, double>> log;
    auto record = [&](std::string what) {
        return [&log, &dispatch, what] { log.emplace_back(what, dispatch.monotonicNow()); };
    };
    dispatch.onMainAfter(2.0, record("two"));
    dispatch.onMainAfter(0.8, [&] {
        record("point-eight")();
        dispatch.onMainAfter(0.5, record("nested"));
        dispatch.onMain(record("posted-at-0.8"));
    });
    dispatch.onMain(record("now"));
    dispatch.onMainAfter(2.0, record("two-again"));
    dispatch.inBackgroundAfter(1.0, record("global"));
    EXPECT_TRUE(log.empty()) << "posting never runs the block";

    dispatch.advance(3);
    EXPECT_EQ(log, (std::vector<std::pair<std::string, double>>{{"now", 0.0},
                                                                {"point-eight", 0.8},
                                                                {"posted-at-0.8", 0.8},
                                                                {"global", 1.0},
                                                                {"nested", 1.3},
                                                                {"two", 2.0},
                                                                {"two-again", 2.0}}));
    EXPECT_DOUBLE_EQ(dispatch.monotonicNow(), 3.0);
    EXPECT_DOUBLE_EQ(dispatch.now(), testing::VirtualDispatch::kDefaultStartTime + 3.0);
    EXPECT_FALSE(dispatch.nextDeadline());
}

TEST(VirtualDispatch, SerialQueuesRunOffTheMainThreadAndEndWithTheirHandle) {
    testing::VirtualDispatch dispatch;
    auto serial = dispatch.makeSerialQueue("korvel.path-monitor");
    std::vector<std::string> seen;
    const auto where = [&](const std::string& what) {
        seen.push_back(what + (dispatch.isMainThread() ? "/main" : "/other"));
    };
    serial->async([&] {
        where("serial");
        dispatch.onMain([&] { where("hop"); });
    });
    serial->async([&] { where("second"); });
    dispatch.inBackground([&] { where("global"); });
    dispatch.runPending();
    EXPECT_EQ(seen, (std::vector<std::string>{"serial/other", "second/other", "global/other",
                                              "hop/main"}));

    bool ranAfterQueueWentAway = false;
    serial->async([&] { ranAfterQueueWentAway = true; });
    serial.reset();
    dispatch.runPending();
    EXPECT_FALSE(ranAfterQueueWentAway);
}

TEST(VirtualDispatch, OutOfRangeDelaysPeriodsAndEndlessPosting) {
    testing::VirtualDispatch dispatch;
    std::vector<std::string> ran;
    dispatch.onMainAfter(-3, [&] { ran.push_back("negative"); });
    dispatch.onMainAfter(std::nan(""), [&] { ran.push_back("nan"); });
    dispatch.onMainAfter(std::numeric_limits<double>::infinity(), [&] { ran.push_back("never"); });
    dispatch.runPending();
    EXPECT_EQ(ran, (std::vector<std::string>{"negative", "nan"}));

    int zeroTicks = 0;
    auto zero = dispatch.mainRepeatingTimer(0, [&] { ++zeroTicks; });
    EXPECT_DOUBLE_EQ(zero->period(), 0.001);
    auto huge = dispatch.mainRepeatingTimer(9.2e18, [&] { ran.push_back("huge"); });
    dispatch.advance(1);
    EXPECT_EQ(zeroTicks, 1000);
    zero->cancel();
    dispatch.advance(1e7);
    EXPECT_EQ(ran.size(), 2u);

    // Endless self-posting is reported instead of hanging.
    std::function<void()> again = [&] { dispatch.onMain(again); };
    dispatch.onMain(again);
    EXPECT_THROW(dispatch.runPending(), std::runtime_error);
}

TEST(TimedQueue, MissedTicksCollapseIntoOne) {
    auto queue = detail::TimedQueue::create({});
    int ticks = 0;
    auto timer = queue->addTimer(0, 10, [&] { ++ticks; });
    EXPECT_EQ(queue->nextDue(), 10);

    queue->promoteDue(35);
    EXPECT_EQ(queue->readyCount(), 1u);
    EXPECT_EQ(queue->nextDue(), std::numeric_limits<int64_t>::min());
    // Still not run when the next deadline passes: no second tick queued.
    queue->promoteDue(45);
    EXPECT_EQ(queue->readyCount(), 1u);
    EXPECT_TRUE(queue->runOne());
    EXPECT_FALSE(queue->runOne());
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(queue->nextDue(), 50);

    // A tick already queued does not run once the timer is cancelled.
    queue->promoteDue(50);
    timer->cancel();
    EXPECT_TRUE(queue->runOne());
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(queue->nextDue());
}

TEST(TimedQueue, DeadlinesSaturateAndATimerMayOutliveItsQueue) {
    constexpr auto kMax = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(detail::saturatingAdd(kMax - 1, 5), kMax);
    auto queue = detail::TimedQueue::create({});
    auto timer = queue->addTimer(0, 10, [] {});
    queue.reset();
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
}

} // namespace
} // namespace korvel::platform
