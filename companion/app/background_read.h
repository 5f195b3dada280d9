#pragma once

#include <glibmm/dispatcher.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace korvel {

// A read that may wait on the disk (opening the history), run off the main
// loop and once at a time; its result is handed to `done` on the main loop.
// A start while a read runs is dropped: that read's result is as fresh.
template <typename Result> class BackgroundRead {
public:
    explicit BackgroundRead(std::function<void(Result)> done) : done_(std::move(done)) {
        // A start between a read's end and its delivery queues a second
        // delivery that finds the result already taken: it hands nothing.
        ready_.connect([this] {
            std::optional<Result> result;
            {
                std::lock_guard lock(mutex_);
                result.swap(result_);
            }
            if (result) {
                done_(std::move(*result));
            }
        });
    }
    ~BackgroundRead() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    BackgroundRead(const BackgroundRead&) = delete;
    BackgroundRead& operator=(const BackgroundRead&) = delete;

    void start(std::function<Result()> read) {
        if (busy_.exchange(true)) {
            return;
        }
        if (thread_.joinable()) {
            thread_.join(); // finished: busy_ was clear
        }
        thread_ = std::thread([this, read = std::move(read)] {
            Result result = read();
            {
                std::lock_guard lock(mutex_);
                result_ = std::move(result);
            }
            busy_ = false;
            ready_.emit();
        });
    }

private:
    std::function<void(Result)> done_;
    Glib::Dispatcher ready_;
    std::mutex mutex_;
    std::optional<Result> result_;
    std::atomic<bool> busy_{false};
    std::thread thread_;
};

} // namespace korvel
