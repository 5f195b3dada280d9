#include "tests/support/virtual_dispatch.h"

#include "platform/dispatch/timed_queue.h"

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace korvel::testing {

using namespace platform;

namespace {

constexpr size_t kMaxBlocksPerInstant = 1'000'000;
constexpr const char* kMainQueueName = "main";
constexpr const char* kGlobalQueueName = "global";

} // namespace

struct VirtualDispatchState {
    double startTime = 0;
    std::thread::id testThread = std::this_thread::get_id();
    std::shared_ptr<detail::TimedQueue> queue;
    // Moved by the test thread; read by any thread that posts.
    std::atomic<int64_t> nowNanos{0};
    // Test thread only.
    std::string running;
    // Only for runPendingWaiting().
    std::mutex wakeMutex;
    std::condition_variable woken;
};

using State = VirtualDispatchState;

namespace {

// Marks which queue a block belongs to while it runs.
DispatchBlock onQueue(const std::shared_ptr<State>& state, std::string name, DispatchBlock block) {
    return [weak = std::weak_ptr(state), name = std::move(name), block = std::move(block)] {
        auto state = weak.lock();
        if (!state) {
            return;
        }
        struct Restore {
            std::string& slot;
            std::string previous;
            ~Restore() { slot = std::move(previous); }
        } restore{state->running, state->running};
        state->running = name;
        block();
    };
}

class VirtualSerialQueue final : public SerialQueue {
public:
    VirtualSerialQueue(std::weak_ptr<State> state, std::string label)
        : state_(std::move(state)), label_(std::move(label)) {}
    const std::string& label() const override { return label_; }
    void async(DispatchBlock block) override {
        auto state = state_.lock();
        if (!state) {
            return;
        }
        // Dropped if this queue is gone by the time the block comes up.
        state->queue->post(onQueue(state, label_, [alive = std::weak_ptr(alive_), block] {
            if (alive.lock()) {
                block();
            }
        }));
    }

private:
    std::weak_ptr<State> state_;
    std::string label_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace

VirtualDispatch::VirtualDispatch(double startAbsoluteTime) : state_(std::make_shared<State>()) {
    state_->startTime = startAbsoluteTime;
    State* state = state_.get();
    state_->queue = detail::TimedQueue::create([state] {
        std::lock_guard lock(state->wakeMutex);
        state->woken.notify_all();
    });
}

VirtualDispatch::~VirtualDispatch() = default;

void VirtualDispatch::onMain(DispatchBlock block) {
    state_->queue->post(onQueue(state_, kMainQueueName, std::move(block)));
}

void VirtualDispatch::onMainAfter(double seconds, DispatchBlock block) {
    state_->queue->postAt(detail::saturatingAdd(state_->nowNanos, detail::secondsToNanos(seconds)),
                          onQueue(state_, kMainQueueName, std::move(block)));
}

std::unique_ptr<DispatchTimer> VirtualDispatch::mainRepeatingTimer(double periodSeconds,
                                                                   DispatchBlock handler) {
    return state_->queue->addTimer(state_->nowNanos, detail::timerPeriodNanos(periodSeconds),
                                   onQueue(state_, kMainQueueName, std::move(handler)));
}

void VirtualDispatch::inBackgroundAfter(double seconds, DispatchBlock block) {
    state_->queue->postAt(detail::saturatingAdd(state_->nowNanos, detail::secondsToNanos(seconds)),
                          onQueue(state_, kGlobalQueueName, std::move(block)));
}

std::shared_ptr<SerialQueue> VirtualDispatch::makeSerialQueue(std::string label) {
    return std::make_shared<VirtualSerialQueue>(state_, std::move(label));
}

double VirtualDispatch::now() const {
    return state_->startTime + monotonicNow();
}

double VirtualDispatch::monotonicNow() const {
    return static_cast<double>(state_->nowNanos) / detail::kNanosPerSecond;
}

bool VirtualDispatch::isMainThread() const {
    return std::this_thread::get_id() == state_->testThread &&
           (state_->running.empty() || state_->running == kMainQueueName);
}

size_t VirtualDispatch::runPending() {
    state_->queue->promoteDue(state_->nowNanos);
    size_t ran = 0;
    while (state_->queue->runOne()) {
        if (++ran > kMaxBlocksPerInstant) {
            throw std::runtime_error("VirtualDispatch: blocks keep posting blocks");
        }
        state_->queue->promoteDue(state_->nowNanos);
    }
    return ran;
}

size_t VirtualDispatch::advance(double seconds) {
    const int64_t target = detail::saturatingAdd(state_->nowNanos, detail::secondsToNanos(seconds));
    size_t ran = runPending();
    for (;;) {
        const auto due = state_->queue->nextDue();
        if (!due || *due > target) {
            break;
        }
        if (*due > state_->nowNanos) {
            state_->nowNanos = *due;
        }
        ran += runPending();
    }
    state_->nowNanos = target;
    return ran + runPending();
}

size_t VirtualDispatch::runPendingWaiting(std::chrono::milliseconds maxWait) {
    {
        std::unique_lock lock(state_->wakeMutex);
        state_->woken.wait_for(lock, maxWait, [this] { return state_->queue->readyCount() > 0; });
    }
    return runPending();
}

size_t VirtualDispatch::readyCount() const {
    return state_->queue->readyCount();
}

std::optional<double> VirtualDispatch::nextDeadline() const {
    const auto due = state_->queue->nextDue();
    if (!due) {
        return std::nullopt;
    }
    const int64_t at = *due == std::numeric_limits<int64_t>::min() ? state_->nowNanos.load() : *due;
    return static_cast<double>(at) / detail::kNanosPerSecond;
}

size_t VirtualDispatch::activeTimerCount() const {
    return state_->queue->activeTimerCount();
}

std::string VirtualDispatch::currentQueue() const {
    return state_->running;
}

} // namespace korvel::testing
