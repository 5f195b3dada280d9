#include "platform/netpath/path_monitor.h"

#include "platform/netpath/interface_kind.h"
#include "platform/netpath/network_manager_connections.h"
#include "platform/netpath/rtnetlink_socket.h"
#include "platform/system/roots.h"

namespace korvel::platform::netpath {

PathMonitor::PathMonitor()
    : PathMonitor(std::make_unique<RtnetlinkSocket>(), kLiveSysRoot,
                  std::make_unique<NetworkManagerConnections>()) {}

PathMonitor::PathMonitor(std::unique_ptr<NetlinkSource> source, std::string sysRoot,
                         std::unique_ptr<ConnectionSource> connections)
    : source_(std::move(source)), sysRoot_(std::move(sysRoot)),
      connections_(connections ? std::move(connections) : std::make_unique<NoConnectionManager>()) {
}

PathMonitor::~PathMonitor() {
    cancel();
}

void PathMonitor::setUpdateHandler(UpdateHandler handler) {
    handler_ = std::move(handler);
}

void PathMonitor::start(Executor executor) {
    if (thread_.joinable() || stopping_) {
        return;
    }
    executor_ = std::move(executor);
    // A new verdict on metering or connections wakes the reader, which recomputes the path.
    connections_->start([source = source_.get()] { source->wake(); });
    thread_ = std::thread([this] { run(); });
}

void PathMonitor::cancel() {
    stopping_ = true;
    if (thread_.joinable()) {
        source_->wake();
        thread_.join();
    }
    connections_->stop();
}

NetworkPath PathMonitor::currentPath() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void PathMonitor::run() {
    if (!readEverything()) {
        return;
    }
    publishIfChanged();
    for (;;) {
        bool resync = false;
        if (!take(source_->receive(true), resync)) {
            return;
        }
        // Everything already queued belongs to the same burst of changes.
        for (;;) {
            auto next = source_->receive(false);
            if (next.status == NetlinkSource::Status::wouldBlock) {
                break;
            }
            if (!take(next, resync)) {
                return;
            }
        }
        if (resync && !readEverything()) {
            return;
        }
        publishIfChanged();
    }
}

// False when the reader must end (cancelled, or the source is gone).
bool PathMonitor::take(const NetlinkSource::Received& received, bool& resync) {
    switch (received.status) {
    case NetlinkSource::Status::datagram:
        if (state_.apply(received.bytes, seq_, source_->portId()).needsResync) {
            resync = true;
        }
        return true;
    case NetlinkSource::Status::overflow:
        resync = true;
        return true;
    case NetlinkSource::Status::woken:
        return !stopping_;
    case NetlinkSource::Status::wouldBlock:
        return true;
    case NetlinkSource::Status::closed:
        return false;
    }
    return false;
}

// Fresh subscription, then links, addresses and routes in that order, until
// one pass goes through without a loss, an interruption or a refusal.
bool PathMonitor::readEverything() {
    constexpr NetlinkSource::Dump kDumps[] = {
        NetlinkSource::Dump::links, NetlinkSource::Dump::addresses, NetlinkSource::Dump::routes};
    for (;;) {
        if (stopping_ || !source_->open()) {
            return false;
        }
        state_.clear();
        bool complete = true;
        for (const auto dump : kDumps) {
            seq_ += 1;
            if (!source_->requestDump(dump, seq_)) {
                return false;
            }
            for (;;) {
                const auto received = source_->receive(true);
                if (received.status == NetlinkSource::Status::closed ||
                    (received.status == NetlinkSource::Status::woken && stopping_)) {
                    return false;
                }
                if (received.status == NetlinkSource::Status::overflow) {
                    complete = false;
                    break;
                }
                if (received.status != NetlinkSource::Status::datagram) {
                    continue;
                }
                const auto result = state_.apply(received.bytes, seq_, source_->portId());
                // Routes the kernel dropped silently may already have been
                // dumped: that pass cannot be trusted.
                if (result.dumpFailed || result.torn ||
                    (result.needsResync && dump == NetlinkSource::Dump::routes)) {
                    complete = false;
                    break;
                }
                if (result.dumpDone) {
                    break;
                }
            }
            if (!complete) {
                break;
            }
        }
        if (complete) {
            return true;
        }
    }
}

void PathMonitor::publishIfChanged() {
    const auto typeOf = [this](const std::string& name) {
        return interfaceTypeFromSysfs(sysRoot_, name);
    };
    auto path = state_.networkPath(typeOf, connections_->isMetered(),
                                   connections_->connectionsByInterface());
    {
        std::lock_guard lock(mutex_);
        current_ = path;
        if (published_ == path) {
            return;
        }
        published_ = path;
    }
    if (handler_ && executor_) {
        executor_([handler = handler_, path = std::move(path)] { handler(path); });
    }
}

} // namespace korvel::platform::netpath
