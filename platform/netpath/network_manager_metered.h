#pragma once

#include "platform/netpath/metered_source.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace korvel::platform::netpath {

// NetworkManager's own verdict over D-Bus: its Metered property (1 yes,
// 3 guessed yes) on its main object. Without a system bus, or while the
// service is not running, nothing is metered. The property is followed on a
// thread of its own, so isMetered() never waits on the bus.
class NetworkManagerMetered final : public MeteredSource {
public:
    // busAddress empty: the system bus.
    explicit NetworkManagerMetered(std::string busAddress = {});
    ~NetworkManagerMetered() override;
    NetworkManagerMetered(const NetworkManagerMetered&) = delete;
    NetworkManagerMetered& operator=(const NetworkManagerMetered&) = delete;

    void start(std::function<void()> changed) override;
    void stop() override;
    bool isMetered() const override { return metered_.load(); }

    // True once the first answer (or the failure to get one) is known.
    bool isSettled() const { return settled_.load(); }

    // The property's values that mean "metered".
    static bool meansMetered(unsigned value) { return value == 1 || value == 3; }

    struct Loop;

private:
    void run();

    std::string busAddress_;
    std::function<void()> changed_;
    std::atomic<bool> metered_{false};
    std::atomic<bool> settled_{false};
    std::mutex mutex_;
    std::shared_ptr<Loop> loop_;
    std::thread thread_;
};

} // namespace korvel::platform::netpath
