#pragma once

#include "platform/dispatch/dispatch.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace korvel::platform::detail {

inline constexpr int64_t kNanosPerSecond = 1'000'000'000;
// About 31 years: far enough to mean "never", small enough not to overflow.
inline constexpr int64_t kMaxDelayNanos = 1'000'000'000 * kNanosPerSecond;
inline constexpr int64_t kMinTimerPeriodNanos = 1'000'000;

// Negative and NaN become 0; huge values and infinity become kMaxDelayNanos.
int64_t secondsToNanos(double seconds);
int64_t timerPeriodNanos(double seconds);
int64_t saturatingAdd(int64_t a, int64_t b);

// The scheduling core shared by the GLib main queue and the virtual clock:
// a FIFO of ready work plus deadline-ordered blocks and repeating timers. It
// keeps no clock; the driver says what time it is. Thread-safe; blocks run
// on whichever thread calls runOne(), without the lock held.
class TimedQueue : public std::enable_shared_from_this<TimedQueue> {
public:
    // onWake runs, without the lock, after work was added from any thread.
    static std::shared_ptr<TimedQueue> create(std::function<void()> onWake);

    void post(DispatchBlock block);
    void postAt(int64_t due, DispatchBlock block);
    std::unique_ptr<DispatchTimer> addTimer(int64_t now, int64_t period, DispatchBlock handler);

    // Earliest deadline of waiting work; the minimum int64 when work is ready.
    std::optional<int64_t> nextDue();
    // Moves everything due at or before now into the ready FIFO, in
    // (deadline, posting order). A timer already waiting to tick gets no
    // second tick; its next deadline is the first period boundary after now.
    void promoteDue(int64_t now);
    size_t readyCount() const;
    // Runs the oldest ready item; false when there was none.
    bool runOne();
    size_t activeTimerCount() const;

private:
    struct TimerState;
    class Timer;
    struct Scheduled {
        int64_t due;
        uint64_t seq;
        DispatchBlock block;
        std::shared_ptr<TimerState> timer;
    };
    struct Ready {
        DispatchBlock block;
        std::shared_ptr<TimerState> timer;
    };

    explicit TimedQueue(std::function<void()> onWake)
        : onWake_(onWake ? std::move(onWake) : [] {}) {}
    void pushScheduledLocked(Scheduled item);
    void cancelTimer(TimerState& timer);

    const std::function<void()> onWake_; // never empty
    mutable std::mutex mutex_;
    std::deque<Ready> ready_;
    std::vector<Scheduled> heap_;
    uint64_t nextSeq_ = 0;
    size_t activeTimers_ = 0;
};

} // namespace korvel::platform::detail
