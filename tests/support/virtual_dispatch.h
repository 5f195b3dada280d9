#pragma once

#include "platform/dispatch/dispatch.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace korvel::testing {

struct VirtualDispatchState;

// A Dispatch for tests whose clock moves only when the test says so. Nothing
// runs on its own: runPending() and advance() run the work, on the calling
// thread, in deadline order and, at one instant, in posting order. The main
// queue, the global queue and serial queues share that one sequence; blocks of
// the global and serial queues see isMainThread() false while they run.
//
// Posting is thread-safe, so real threads (a socket's I/O thread) can hand
// work to it; runPendingWaiting() waits for such work.
class VirtualDispatch final : public platform::Dispatch {
public:
    // 2024-01-01 00:00:00 UTC in absolute time.
    static constexpr double kDefaultStartTime = 725846400.0;

    explicit VirtualDispatch(double startAbsoluteTime = kDefaultStartTime);
    ~VirtualDispatch() override;
    VirtualDispatch(const VirtualDispatch&) = delete;
    VirtualDispatch& operator=(const VirtualDispatch&) = delete;

    void onMain(platform::DispatchBlock block) override;
    void onMainAfter(double seconds, platform::DispatchBlock block) override;
    std::unique_ptr<platform::DispatchTimer>
    mainRepeatingTimer(double periodSeconds, platform::DispatchBlock handler) override;
    void inBackgroundAfter(double seconds, platform::DispatchBlock block) override;
    std::shared_ptr<platform::SerialQueue> makeSerialQueue(std::string label) override;
    // startAbsoluteTime + monotonicNow().
    double now() const override;
    // Virtual seconds since construction.
    double monotonicNow() const override;
    bool isMainThread() const override;

    // Runs everything due at the current instant, including what those blocks
    // post for now. Returns how many blocks and timer ticks ran. Throws
    // std::runtime_error when blocks keep posting blocks without end.
    size_t runPending();
    // Moves the clock forward, stopping at each deadline on the way to run
    // what comes due there (so work scheduled during the advance runs too if
    // it falls inside it), and ends at now + seconds with runPending().
    size_t advance(double seconds);
    // Waits up to maxWait of real time until another thread has posted ready
    // work, then runs it. Returns how many ran (0 when nothing came).
    size_t runPendingWaiting(std::chrono::milliseconds maxWait);

    size_t readyCount() const;
    // monotonicNow() of the next deadline, if anything waits for one.
    std::optional<double> nextDeadline() const;
    size_t activeTimerCount() const;
    // The queue whose block is running: "main", "global", a serial queue's
    // label, or empty outside runPending()/advance().
    std::string currentQueue() const;

private:
    std::shared_ptr<VirtualDispatchState> state_;
};

} // namespace korvel::testing
