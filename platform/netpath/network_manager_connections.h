#pragma once

#include "platform/netpath/connection_source.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace korvel::platform::netpath {

// NetworkManager's own word over D-Bus: its Metered property (1 yes, 3
// guessed yes) on its main object, and its active connections with the
// interfaces they hold (id, UUID, the access point's SSID, the device's
// Metered). Without a system bus, or while the service is not running,
// nothing is metered and no interface has a connection. Followed on a thread
// of its own, so the getters never wait on the bus.
class NetworkManagerConnections final : public ConnectionSource {
public:
    // busAddress empty: the system bus.
    explicit NetworkManagerConnections(std::string busAddress = {});
    ~NetworkManagerConnections() override;
    NetworkManagerConnections(const NetworkManagerConnections&) = delete;
    NetworkManagerConnections& operator=(const NetworkManagerConnections&) = delete;

    void start(std::function<void()> changed) override;
    void stop() override;
    bool isMetered() const override { return metered_.load(); }
    std::map<std::string, ConnectionIdentity> connectionsByInterface() const override;

    // True once the first answer (or the failure to get one) is known.
    bool isSettled() const { return settled_.load(); }

    // The property's values that mean "metered".
    static bool meansMetered(unsigned value) { return value == 1 || value == 3; }

    struct Loop;
    struct Watch;

private:
    void run();

    std::string busAddress_;
    std::function<void()> changed_;
    std::atomic<bool> metered_{false};
    std::atomic<bool> settled_{false};
    std::mutex mutex_;
    std::shared_ptr<Loop> loop_;
    std::thread thread_;
    mutable std::mutex connectionsMutex_;
    std::map<std::string, ConnectionIdentity> connections_;
};

} // namespace korvel::platform::netpath
