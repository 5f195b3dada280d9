#include "platform/dispatch/timed_queue.h"

#include <gtest/gtest.h>

#include <limits>

namespace korvel::platform::detail {
namespace {

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

TEST(TimedQueue, DeadlinesSaturateAndATimerMayOutliveItsQueue) {
    constexpr auto kMax = std::numeric_limits<int64_t>::max();
    EXPECT_EQ(saturatingAdd(kMax - 1, 5), kMax);
    auto queue = TimedQueue::create({});
    auto timer = queue->addTimer(0, 10, [] {});
    queue.reset();
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
}

} // namespace
} // namespace korvel::platform::detail
