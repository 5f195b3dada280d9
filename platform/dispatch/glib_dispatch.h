#pragma once

#include "platform/dispatch/dispatch.h"

#include <memory>

namespace korvel::platform {

// The live queues. The main queue is a source on GLib's default main context,
// so it runs wherever that context is iterated: under a GTK application's loop
// or under run() below. Main-queue deadlines use the monotonic clock with
// microsecond resolution. The global queue is a small pool of threads, made on
// first use; each serial queue has a thread of its own.
//
// Construct it on the thread that iterates the default context; that thread is
// the main thread. Destroy it there too, outside any of its blocks.
class GLibDispatch final : public Dispatch {
public:
    GLibDispatch();
    ~GLibDispatch() override;
    GLibDispatch(const GLibDispatch&) = delete;
    GLibDispatch& operator=(const GLibDispatch&) = delete;

    void onMain(DispatchBlock block) override;
    void onMainAfter(double seconds, DispatchBlock block) override;
    std::unique_ptr<DispatchTimer> mainRepeatingTimer(double periodSeconds,
                                                      DispatchBlock handler) override;
    void inBackgroundAfter(double seconds, DispatchBlock block) override;
    std::shared_ptr<SerialQueue> makeSerialQueue(std::string label) override;
    double now() const override;
    double monotonicNow() const override;
    bool isMainThread() const override;

    // Iterates the default main context on the calling thread until quit().
    // A quit() that comes while no run() is active ends the next run() at once.
    void run();
    // Any thread.
    void quit();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process's live Dispatch, created on first use (on the main thread) and
// kept until exit.
GLibDispatch& liveDispatch();

} // namespace korvel::platform
