#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace korvel {

// A value the views follow: every assignment is announced to the observers,
// synchronously, on the thread that made it (the main thread for the manager).
template <typename T> class Published {
public:
    using Observer = std::function<void(const T&)>;

    explicit Published(T initial = T{}) : value_(std::move(initial)) {}

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    void set(T value) {
        value_ = std::move(value);
        notify();
    }

    // Changes the value in place and announces it once.
    template <typename Mutate> void modify(Mutate&& mutate) {
        mutate(value_);
        notify();
    }

    uint64_t observe(Observer observer) {
        const uint64_t token = nextToken_++;
        observers_.emplace(token, std::move(observer));
        return token;
    }
    void removeObserver(uint64_t token) { observers_.erase(token); }

private:
    void notify() {
        // Copy first: an observer may remove itself or add others.
        const auto observers = observers_;
        for (const auto& [token, observer] : observers) {
            observer(value_);
        }
    }

    T value_;
    std::map<uint64_t, Observer> observers_;
    uint64_t nextToken_ = 1;
};

} // namespace korvel
