#pragma once

#include "platform/netpath/network_path.h"

#include <functional>
#include <map>
#include <string>

namespace korvel::platform::netpath {

// What the connection manager says about the connections in use: whether the
// one in use is billed by volume, and which connection each interface is on.
class ConnectionSource {
public:
    virtual ~ConnectionSource() = default;
    // Begins watching; changed may be called from any thread whenever an
    // answer below may have changed.
    virtual void start(std::function<void()> changed) = 0;
    virtual void stop() = 0;
    virtual bool isMetered() const = 0;
    // Interface name -> the connection active on it.
    virtual std::map<std::string, ConnectionIdentity> connectionsByInterface() const { return {}; }
};

// For machines and tests without a connection manager.
class NoConnectionManager final : public ConnectionSource {
public:
    void start(std::function<void()>) override {}
    void stop() override {}
    bool isMetered() const override { return false; }
};

} // namespace korvel::platform::netpath
