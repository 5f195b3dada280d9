#include "platform/dispatch/thread_queue.h"

#include <algorithm>

#include <pthread.h>

namespace korvel::platform::detail {

namespace {

constexpr auto later = [](const auto& a, const auto& b) {
    return a.due != b.due ? a.due > b.due : a.seq > b.seq;
};

} // namespace

struct ThreadQueue::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Item> heap;
    uint64_t nextSeq = 0;
    bool stopping = false;
};

ThreadQueue::ThreadQueue(std::string label, unsigned threadCount)
    : label_(std::move(label)), shared_(std::make_shared<Shared>()) {
    for (unsigned i = 0; i < std::max(threadCount, 1u); ++i) {
        // The label is the thread's own copy: the queue may be gone before it starts.
        threads_.emplace_back([shared = shared_, label = label_] { work(shared, label); });
    }
}

ThreadQueue::~ThreadQueue() {
    std::vector<Item> dropped;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        dropped.swap(shared_->heap);
    }
    shared_->changed.notify_all();
    // Outside the lock: a dropped block's captures may post to this queue.
    dropped.clear();
    for (auto& thread : threads_) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}

void ThreadQueue::asyncAfter(int64_t delayNanos, DispatchBlock block) {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->stopping) {
            return;
        }
        const auto due = Clock::now() + std::chrono::nanoseconds(delayNanos);
        shared_->heap.push_back({due, shared_->nextSeq++, std::move(block)});
        std::push_heap(shared_->heap.begin(), shared_->heap.end(), later);
    }
    shared_->changed.notify_one();
}

void ThreadQueue::work(const std::shared_ptr<Shared>& shared, const std::string& label) {
    // The kernel keeps at most 15 characters of a thread name.
    pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
    std::unique_lock lock(shared->mutex);
    while (!shared->stopping) {
        if (shared->heap.empty()) {
            shared->changed.wait(lock);
            continue;
        }
        if (const auto due = shared->heap.front().due; Clock::now() < due) {
            shared->changed.wait_until(lock, due);
            continue;
        }
        std::pop_heap(shared->heap.begin(), shared->heap.end(), later);
        DispatchBlock block = std::move(shared->heap.back().block);
        shared->heap.pop_back();
        lock.unlock();
        block();
        block = nullptr;
        lock.lock();
    }
}

} // namespace korvel::platform::detail
