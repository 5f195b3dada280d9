#include "platform/dispatch/timed_queue.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

namespace korvel::platform::detail {

int64_t secondsToNanos(double seconds) {
    if (std::isnan(seconds) || seconds <= 0) {
        return 0;
    }
    if (seconds >= static_cast<double>(kMaxDelayNanos) / kNanosPerSecond) {
        return kMaxDelayNanos;
    }
    return std::llround(seconds * kNanosPerSecond);
}

int64_t timerPeriodNanos(double seconds) {
    return std::max(secondsToNanos(seconds), kMinTimerPeriodNanos);
}

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

namespace {

// Min-heap on (due, seq).
constexpr auto later = [](const auto& a, const auto& b) {
    return a.due != b.due ? a.due > b.due : a.seq > b.seq;
};

} // namespace

struct TimedQueue::TimerState {
    int64_t period = 0;
    // Shared so a tick can keep the handler alive while cancel() drops it.
    std::shared_ptr<DispatchBlock> handler;
    std::atomic<bool> cancelled{false};
    bool tickQueued = false;
};

class TimedQueue::Timer final : public DispatchTimer {
public:
    Timer(std::weak_ptr<TimedQueue> queue, std::shared_ptr<TimerState> state)
        : queue_(std::move(queue)), state_(std::move(state)) {}
    ~Timer() override { Timer::cancel(); }

    void cancel() override {
        if (auto queue = queue_.lock()) {
            queue->cancelTimer(*state_);
        } else {
            state_->cancelled = true;
        }
    }
    bool isCancelled() const override { return state_->cancelled; }
    double period() const override { return static_cast<double>(state_->period) / kNanosPerSecond; }

private:
    std::weak_ptr<TimedQueue> queue_;
    std::shared_ptr<TimerState> state_;
};

std::shared_ptr<TimedQueue> TimedQueue::create(std::function<void()> onWake) {
    return std::shared_ptr<TimedQueue>(new TimedQueue(std::move(onWake)));
}

void TimedQueue::post(DispatchBlock block) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back({std::move(block), nullptr});
    }
    onWake_();
}

void TimedQueue::postAt(int64_t due, DispatchBlock block) {
    {
        std::lock_guard lock(mutex_);
        pushScheduledLocked({due, 0, std::move(block), nullptr});
    }
    onWake_();
}

std::unique_ptr<DispatchTimer> TimedQueue::addTimer(int64_t now, int64_t period,
                                                    DispatchBlock handler) {
    auto state = std::make_shared<TimerState>();
    state->period = period;
    state->handler = std::make_shared<DispatchBlock>(std::move(handler));
    {
        std::lock_guard lock(mutex_);
        pushScheduledLocked({saturatingAdd(now, period), 0, nullptr, state});
        ++activeTimers_;
    }
    onWake_();
    return std::make_unique<Timer>(weak_from_this(), std::move(state));
}

void TimedQueue::pushScheduledLocked(Scheduled item) {
    item.seq = nextSeq_++;
    heap_.push_back(std::move(item));
    std::push_heap(heap_.begin(), heap_.end(), later);
}

void TimedQueue::cancelTimer(TimerState& timer) {
    std::shared_ptr<DispatchBlock> released;
    {
        std::lock_guard lock(mutex_);
        if (timer.cancelled.exchange(true)) {
            return;
        }
        --activeTimers_;
        released = std::move(timer.handler);
    }
    // The handler's captures are destroyed here, outside the lock, unless a
    // tick that is running right now still holds them.
}

std::optional<int64_t> TimedQueue::nextDue() {
    std::lock_guard lock(mutex_);
    if (!ready_.empty()) {
        return std::numeric_limits<int64_t>::min();
    }
    // Cancelled timers at the top would only cause empty wake-ups.
    while (!heap_.empty() && heap_.front().timer && heap_.front().timer->cancelled) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        heap_.pop_back();
    }
    if (heap_.empty()) {
        return std::nullopt;
    }
    return heap_.front().due;
}

void TimedQueue::promoteDue(int64_t now) {
    std::lock_guard lock(mutex_);
    while (!heap_.empty() && heap_.front().due <= now) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        Scheduled item = std::move(heap_.back());
        heap_.pop_back();
        if (!item.timer) {
            ready_.push_back({std::move(item.block), nullptr});
            continue;
        }
        TimerState& timer = *item.timer;
        if (timer.cancelled) {
            continue;
        }
        int64_t next = saturatingAdd(item.due, timer.period);
        if (next <= now) {
            const int64_t missed = (now - item.due) / timer.period;
            next = saturatingAdd(item.due, (missed + 1) * timer.period);
        }
        if (!timer.tickQueued) {
            timer.tickQueued = true;
            ready_.push_back({nullptr, item.timer});
        }
        pushScheduledLocked({next, 0, nullptr, std::move(item.timer)});
    }
}

size_t TimedQueue::readyCount() const {
    std::lock_guard lock(mutex_);
    return ready_.size();
}

size_t TimedQueue::activeTimerCount() const {
    std::lock_guard lock(mutex_);
    return activeTimers_;
}

bool TimedQueue::runOne() {
    Ready item;
    std::shared_ptr<DispatchBlock> handler;
    {
        std::lock_guard lock(mutex_);
        if (ready_.empty()) {
            return false;
        }
        item = std::move(ready_.front());
        ready_.pop_front();
        if (item.timer) {
            item.timer->tickQueued = false;
            if (item.timer->cancelled) {
                return true;
            }
            handler = item.timer->handler;
        }
    }
    if (handler) {
        (*handler)();
    } else if (item.block) {
        item.block();
    }
    return true;
}

} // namespace korvel::platform::detail
