#include "platform/dispatch/glib_dispatch.h"

#include "platform/clock/absolute_time.h"
#include "platform/dispatch/thread_queue.h"
#include "platform/dispatch/timed_queue.h"

#include <atomic>
#include <limits>
#include <mutex>
#include <thread>

#include <glib.h>

namespace korvel::platform {

namespace {

constexpr unsigned kGlobalQueueThreads = 2;

int64_t monotonicNanos() {
    return g_get_monotonic_time() * 1000;
}

class ThreadSerialQueue final : public SerialQueue {
public:
    explicit ThreadSerialQueue(std::string label) : queue_(std::move(label), 1) {}
    const std::string& label() const override { return queue_.label(); }
    void async(DispatchBlock block) override { queue_.asyncAfter(0, std::move(block)); }

private:
    detail::ThreadQueue queue_;
};

struct MainQueueSource {
    GSource source;
    void* impl;
};

} // namespace

struct GLibDispatch::Impl {
    GMainContext* context = nullptr;
    GSource* source = nullptr;
    std::shared_ptr<detail::TimedQueue> mainQueue;
    // Held while working out the source's ready time and storing it, so a
    // stale value from one thread cannot overwrite a newer one from another.
    std::mutex readyTimeMutex;
    bool closed = false;
    std::thread::id mainThread = std::this_thread::get_id();
    std::atomic<bool> quitRequested{false};
    std::once_flag globalOnce;
    std::unique_ptr<detail::ThreadQueue> global;

    void updateReadyTime() {
        std::lock_guard lock(readyTimeMutex);
        if (closed) {
            return;
        }
        const auto due = mainQueue->nextDue();
        gint64 readyTime = -1;
        if (due) {
            // Round up: waking a microsecond early would find nothing due.
            readyTime = *due == std::numeric_limits<int64_t>::min() ? 0 : (*due + 999) / 1000;
        }
        g_source_set_ready_time(source, readyTime);
    }

    static gboolean dispatchSource(GSource* source, GSourceFunc, gpointer) {
        static_cast<Impl*>(reinterpret_cast<MainQueueSource*>(source)->impl)->dispatchDue();
        return G_SOURCE_CONTINUE;
    }

    void dispatchDue() {
        mainQueue->promoteDue(monotonicNanos());
        // Only what is ready now; blocks posted meanwhile wait for the next
        // iteration so other sources on the context are not starved.
        for (size_t n = mainQueue->readyCount(); n > 0; --n) {
            mainQueue->runOne();
        }
        updateReadyTime();
    }
};

GLibDispatch::GLibDispatch() : impl_(std::make_unique<Impl>()) {
    impl_->context = g_main_context_ref(g_main_context_default());
    static GSourceFuncs funcs = {nullptr, nullptr, &Impl::dispatchSource,
                                 nullptr, nullptr, nullptr};
    impl_->source = g_source_new(&funcs, sizeof(MainQueueSource));
    reinterpret_cast<MainQueueSource*>(impl_->source)->impl = impl_.get();
    g_source_set_name(impl_->source, "korvel main queue");
    Impl* impl = impl_.get();
    impl_->mainQueue = detail::TimedQueue::create([impl] { impl->updateReadyTime(); });
    g_source_attach(impl_->source, impl_->context);
}

GLibDispatch::~GLibDispatch() {
    impl_->global.reset();
    {
        std::lock_guard lock(impl_->readyTimeMutex);
        impl_->closed = true;
    }
    g_source_destroy(impl_->source);
    g_source_unref(impl_->source);
    g_main_context_unref(impl_->context);
}

void GLibDispatch::onMain(DispatchBlock block) {
    impl_->mainQueue->post(std::move(block));
}

void GLibDispatch::onMainAfter(double seconds, DispatchBlock block) {
    impl_->mainQueue->postAt(
        detail::saturatingAdd(monotonicNanos(), detail::secondsToNanos(seconds)), std::move(block));
}

std::unique_ptr<DispatchTimer> GLibDispatch::mainRepeatingTimer(double periodSeconds,
                                                                DispatchBlock handler) {
    return impl_->mainQueue->addTimer(monotonicNanos(), detail::timerPeriodNanos(periodSeconds),
                                      std::move(handler));
}

void GLibDispatch::inBackgroundAfter(double seconds, DispatchBlock block) {
    std::call_once(impl_->globalOnce, [this] {
        impl_->global = std::make_unique<detail::ThreadQueue>("korvel.global", kGlobalQueueThreads);
    });
    impl_->global->asyncAfter(detail::secondsToNanos(seconds), std::move(block));
}

std::shared_ptr<SerialQueue> GLibDispatch::makeSerialQueue(std::string label) {
    return std::make_shared<ThreadSerialQueue>(std::move(label));
}

double GLibDispatch::now() const {
    return secondsSince2001();
}

double GLibDispatch::monotonicNow() const {
    return static_cast<double>(g_get_monotonic_time()) / 1e6;
}

bool GLibDispatch::isMainThread() const {
    return std::this_thread::get_id() == impl_->mainThread;
}

void GLibDispatch::run() {
    while (!impl_->quitRequested.exchange(false)) {
        g_main_context_iteration(impl_->context, TRUE);
    }
}

void GLibDispatch::quit() {
    impl_->quitRequested = true;
    g_main_context_wakeup(impl_->context);
}

GLibDispatch& liveDispatch() {
    // Never destroyed: blocks may still be posted from other threads at exit.
    static auto* dispatch = new GLibDispatch();
    return *dispatch;
}

} // namespace korvel::platform
