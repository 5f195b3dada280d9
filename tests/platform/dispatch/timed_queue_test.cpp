#include "platform/dispatch/timed_queue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvel::platform::detail {
namespace {

TEST(TimedQueue, SecondsConversionClampsWhatCannotBeATime) {
    EXPECT_EQ(secondsToNanos(0.8), 800'000'000);
    EXPECT_EQ(secondsToNanos(-1), 0);
    EXPECT_EQ(secondsToNanos(std::nan("")), 0);
    EXPECT_EQ(secondsToNanos(1e300), kMaxDelayNanos);
    EXPECT_EQ(timerPeriodNanos(0), kMinTimerPeriodNanos);
    EXPECT_EQ(saturatingAdd(std::numeric_limits<int64_t>::max() - 1, 5),
              std::numeric_limits<int64_t>::max());
}

// A main thread that was busy for several periods gets one tick, and the
// timer stays on its original grid.
TEST(TimedQueue, MissedTicksCollapseIntoOne) {
    auto queue = TimedQueue::create({});
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

TEST(TimedQueue, TimerOutlivingItsQueueCanStillBeCancelled) {
    auto queue = TimedQueue::create({});
    auto timer = queue->addTimer(0, 10, [] {});
    queue.reset();
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
}

} // namespace
} // namespace korvel::platform::detail
