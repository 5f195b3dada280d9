#pragma once

#include "platform/dispatch/dispatch.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvel::platform::detail {

// Worker threads that run posted blocks when their delay has passed: one
// thread makes a serial queue, several a concurrent one. Blocks not started
// when the queue is destroyed are dropped; the destructor waits for running
// ones (unless it runs on one of the workers, which then finish on their own).
class ThreadQueue {
public:
    ThreadQueue(std::string label, unsigned threadCount);
    ~ThreadQueue();
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    void asyncAfter(int64_t delayNanos, DispatchBlock block);
    const std::string& label() const { return label_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Item {
        Clock::time_point due;
        uint64_t seq;
        DispatchBlock block;
    };
    struct Shared;

    static void work(const std::shared_ptr<Shared>& shared, const std::string& label);

    const std::string label_;
    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
};

} // namespace korvel::platform::detail
