#pragma once

#include <functional>
#include <memory>
#include <string>

namespace korvel::platform {

using DispatchBlock = std::function<void()>;

// A repeating timer whose handler runs on the main queue. Destroying the
// handle cancels the timer, so storing a new handle over an old one stops the
// old timer. A new period means cancelling and scheduling a new timer.
class DispatchTimer {
public:
    virtual ~DispatchTimer() = default;

    // Once this returns on the main queue, the handler never starts again.
    // Called elsewhere, a tick already under way may still finish. Idempotent,
    // callable from any thread and from inside the timer's own handler.
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
    // The repeat period in seconds, as used (after clamping; see Dispatch).
    virtual double period() const = 0;
};

// A queue that runs its blocks one at a time, in the order posted, off the
// main thread.
class SerialQueue {
public:
    virtual ~SerialQueue() = default;
    virtual const std::string& label() const = 0;
    // Any thread.
    virtual void async(DispatchBlock block) = 0;
};

// The companion's queues and clocks. Everything the engine touches lives on
// the main queue; other queues only hand work back to it with onMain.
//
// Delays and periods are in seconds. A delay that is negative or NaN counts as
// 0; anything longer than about 30 years, infinity included, never comes due.
// A timer period under 1 ms is raised to 1 ms so a zero period cannot spin.
//
// Every posting function is safe from any thread. Blocks posted to the main
// queue never run inside the call that posted them; they run in posting order
// among blocks that are due at the same instant, and due work runs in deadline
// order.
class Dispatch {
public:
    virtual ~Dispatch() = default;

    // Main queue.
    virtual void onMain(DispatchBlock block) = 0;
    virtual void onMainAfter(double seconds, DispatchBlock block) = 0;
    // First tick one period from now, then every period from that deadline
    // (no drift), zero leeway. Ticks missed while the main thread was busy
    // collapse into one. The handle must be kept; see DispatchTimer.
    virtual std::unique_ptr<DispatchTimer> mainRepeatingTimer(double periodSeconds,
                                                              DispatchBlock handler) = 0;

    // The global default-priority queue: concurrent, not the main thread.
    virtual void inBackgroundAfter(double seconds, DispatchBlock block) = 0;
    void inBackground(DispatchBlock block) { inBackgroundAfter(0, std::move(block)); }

    // A serial queue with its own label, e.g. "korvel.path-monitor". Blocks
    // not yet started when the last reference goes are dropped.
    virtual std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) = 0;

    // Absolute time: seconds since 2001-01-01 00:00:00 UTC.
    virtual double now() const = 0;
    // Seconds on a clock that never jumps; only differences mean anything.
    virtual double monotonicNow() const = 0;
    // True on the thread that runs the main queue.
    virtual bool isMainThread() const = 0;
};

} // namespace korvel::platform
