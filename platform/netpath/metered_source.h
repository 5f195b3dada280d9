#pragma once

#include <functional>

namespace korvel::platform::netpath {

// Whether the connection in use is billed by volume.
class MeteredSource {
public:
    virtual ~MeteredSource() = default;
    // Begins watching; changed may be called from any thread whenever the
    // answer of isMetered() may have changed.
    virtual void start(std::function<void()> changed) = 0;
    virtual void stop() = 0;
    virtual bool isMetered() const = 0;
};

// For machines and tests without a connection manager.
class NeverMetered final : public MeteredSource {
public:
    void start(std::function<void()>) override {}
    void stop() override {}
    bool isMetered() const override { return false; }
};

} // namespace korvel::platform::netpath
