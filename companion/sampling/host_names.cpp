#include "companion/sampling/host_names.h"

#include "platform/net/host_name.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace korvel {

using Clock = std::chrono::steady_clock;

struct HostNames::State {
    struct Entry {
        enum class Phase { queued, resolving, done } phase = Phase::queued;
        std::optional<std::string> name;
        Clock::time_point since; // when queued, started or answered
    };

    Resolver resolver;
    Options options;
    std::mutex mutex;
    std::condition_variable wake;
    std::unordered_map<std::string, Entry> entries;
    std::deque<std::string> order; // oldest first, for eviction
    std::deque<std::string> queue;
    std::function<void()> onResolved;
    bool stopping = false;
    size_t workers = 0;
    size_t idle = 0;
    Clock::time_point lastProgress = Clock::now();

    void startWorkerLocked(const std::shared_ptr<State>& self) {
        ++workers;
        // Detached, holding the state: quitting never waits for a lookup.
        std::thread([self] { self->work(); }).detach();
    }

    void evictLocked() {
        // A lookup under way keeps its entry: it goes to the back instead.
        for (size_t turns = order.size(); entries.size() > options.capacity && turns > 0; --turns) {
            std::string address = std::move(order.front());
            order.pop_front();
            auto it = entries.find(address);
            if (it != entries.end() && it->second.phase == Entry::Phase::resolving) {
                order.push_back(std::move(address));
            } else if (it != entries.end()) {
                entries.erase(it);
            }
        }
    }

    void work() {
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            --idle;
            if (stopping) {
                return;
            }
            lastProgress = Clock::now();
            const std::string address = std::move(queue.front());
            queue.pop_front();
            auto it = entries.find(address);
            if (it == entries.end()) {
                continue; // evicted while queued
            }
            it->second.phase = Entry::Phase::resolving;
            it->second.since = Clock::now();
            lock.unlock();
            std::optional<std::string> name = resolver(address);
            lock.lock();
            Entry& entry = entries[address];
            entry.phase = Entry::Phase::done;
            entry.name = std::move(name);
            entry.since = Clock::now();
            lastProgress = entry.since;
            evictLocked();
            if (onResolved) {
                auto notify = onResolved;
                lock.unlock();
                notify();
                lock.lock();
            }
        }
    }
};

HostNames::HostNames(Resolver resolver) : HostNames(std::move(resolver), Options{}) {}

HostNames::HostNames(Resolver resolver, Options options) : state_(std::make_shared<State>()) {
    state_->resolver = std::move(resolver);
    state_->options = options;
    std::lock_guard lock(state_->mutex);
    state_->startWorkerLocked(state_);
}

HostNames::~HostNames() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->onResolved = nullptr;
    }
    state_->wake.notify_all();
}

void HostNames::setOnResolved(std::function<void()> onResolved) {
    std::lock_guard lock(state_->mutex);
    state_->onResolved = std::move(onResolved);
}

std::optional<std::string> HostNames::name(const std::string& address) {
    using Phase = State::Entry::Phase;
    State& s = *state_;
    const auto now = Clock::now();
    std::lock_guard lock(s.mutex);
    std::optional<std::string> answer;
    bool ask = false;
    if (auto it = s.entries.find(address); it == s.entries.end()) {
        ask = s.queue.size() < s.options.queueLimit; // else asked again on a later frame
        if (ask) {
            s.entries.emplace(address, State::Entry{Phase::queued, std::nullopt, now});
            s.order.push_back(address);
        }
    } else if (State::Entry& entry = it->second; entry.phase == Phase::done) {
        answer = entry.name;
        const auto keep = entry.name ? s.options.keepNames : s.options.keepFailures;
        // Stale: keep showing it while it is looked up again.
        if (now - entry.since >= keep && s.queue.size() < s.options.queueLimit) {
            entry.phase = Phase::queued;
            entry.since = now;
            ask = true;
        }
    }
    if (ask) {
        s.queue.push_back(address);
        s.evictLocked();
        s.wake.notify_one();
    }
    const bool stalled =
        !s.queue.empty() && s.idle == 0 && now - s.lastProgress > s.options.timeout;
    if (stalled && s.workers < s.options.maxWorkers) {
        s.lastProgress = now;
        s.startWorkerLocked(state_);
    }
    return answer;
}

HostNames::Resolver systemResolver() {
    return [](const std::string& address) { return platform::hostNameForAddress(address); };
}

} // namespace korvel
