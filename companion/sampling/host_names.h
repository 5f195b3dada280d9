#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

// Remote host names for the views and the history, looked up off the main
// thread so a slow or dead resolver never holds a frame or a reading: name() answers from the cache
// at once and queues what it does not know. Answers, failures included, are kept for a while in a
// cache of bounded size. The resolver cannot be interrupted, so when the workers have made no
// progress for the timeout another one starts, up to maxWorkers: one dead server does not stall
// every other name.
class HostNames {
public:
    // Numeric address text to a name; no value when there is none.
    using Resolver = std::function<std::optional<std::string>(const std::string& address)>;

    struct Options {
        size_t capacity = 1024;
        size_t queueLimit = 256;
        size_t maxWorkers = 6;
        std::chrono::milliseconds timeout{2000};
        std::chrono::seconds keepNames{600};
        std::chrono::seconds keepFailures{60};
    };

    explicit HostNames(Resolver resolver);
    HostNames(Resolver resolver, Options options);
    // Returns at once: a worker stuck in the resolver finishes on its own.
    ~HostNames();
    HostNames(const HostNames&) = delete;
    HostNames& operator=(const HostNames&) = delete;

    // The name when known; otherwise no value, and the address is queued.
    // Main thread; never waits for the resolver.
    std::optional<std::string> name(const std::string& address);

    // Called on a worker thread after a lookup finished, e.g. to redraw.
    void setOnResolved(std::function<void()> onResolved);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// The system's resolver (getnameinfo, no numeric fallback).
HostNames::Resolver systemResolver();

} // namespace korvel
