#pragma once

#include "platform/netpath/connection_source.h"
#include "platform/netpath/netlink_source.h"
#include "platform/netpath/network_path.h"
#include "platform/netpath/routing_state.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace korvel::platform::netpath {

// Follows the machine's default network path. A thread of its own reads the
// kernel's routing tables once in full and then follows their notifications;
// every time the path differs from the last one handed out, the update
// handler receives it through the executor given to start(). After lost
// notifications (or anything it cannot trust) it re-reads everything before
// it says anything, so a path it hands out is never half updated.
class PathMonitor {
public:
    using Executor = std::function<void(std::function<void()>)>;
    using UpdateHandler = std::function<void(NetworkPath)>;

    // The live machine: the rtnetlink socket, /sys, NetworkManager's verdict.
    PathMonitor();
    PathMonitor(std::unique_ptr<NetlinkSource> source, std::string sysRoot,
                std::unique_ptr<ConnectionSource> connections);
    ~PathMonitor();
    PathMonitor(const PathMonitor&) = delete;
    PathMonitor& operator=(const PathMonitor&) = delete;

    // Set before start().
    void setUpdateHandler(UpdateHandler handler);
    // Starts following; the first complete reading is always handed out.
    void start(Executor executor);
    // Stops following and waits for the reading thread to end. A handler call
    // already given to the executor may still run.
    void cancel();

    // The latest complete reading; unsatisfied with no interfaces until the
    // first one.
    NetworkPath currentPath() const;

private:
    void run();
    bool readEverything();
    bool take(const NetlinkSource::Received& received, bool& resync);
    void publishIfChanged();

    std::unique_ptr<NetlinkSource> source_;
    std::string sysRoot_;
    std::unique_ptr<ConnectionSource> connections_;
    UpdateHandler handler_;
    Executor executor_;
    RoutingState state_;
    uint32_t seq_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    NetworkPath current_;
    std::optional<NetworkPath> published_;
    std::thread thread_;
};

} // namespace korvel::platform::netpath
