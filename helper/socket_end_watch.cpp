#include "helper/socket_end_watch.h"

#include "helper/socket_watcher.h"
#include "platform/clock/absolute_time.h"
#include "platform/proc/sock_diag.h"
#include "platform/program/thread_name.h"

#include <algorithm>

namespace korvel {
namespace {

using namespace std::chrono_literals;

// Until a second request tells the client's period.
constexpr auto kFirstPeriod = 5s;
constexpr auto kShortestPeriod = 500ms;
constexpr auto kLongestPeriod = 30s;
// The longest the listener waits before it looks whether it is still wanted;
// it also looks at each of the watcher's turns.
constexpr int kPollMilliseconds = 1000;

} // namespace

SocketEndWatch::~SocketEndWatch() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

SocketEndWatch& SocketEndWatch::shared() {
    static SocketEndWatch watch;
    return watch;
}

bool SocketEndWatch::requested(Clock::time_point now) {
    std::lock_guard start(startMutex_);
    std::unique_lock lock(mutex_);
    if (lastRequest_ == Clock::time_point{}) {
        period_ = kFirstPeriod;
    } else {
        recentGaps_[nextGap_++ % recentGaps_.size()] =
            std::clamp<Clock::duration>(now - lastRequest_, kShortestPeriod, kLongestPeriod);
        period_ = *std::max_element(recentGaps_.begin(), recentGaps_.end());
    }
    lastRequest_ = now;
    if (listening_) {
        return true;
    }
    lock.unlock();
    if (thread_.joinable()) {
        thread_.join(); // it ended by itself
    }
    auto listener = std::make_shared<platform::proc::TcpDestroyListener>();
    if (!listener->isOpen()) {
        return false;
    }
    // Taken before this request's dump, so that every socket it does not
    // know of is one opened since.
    auto watcher = std::make_shared<SocketWatcher>();
    const std::vector<platform::proc::SocketInfo> open = watcher->openSockets();
    lock.lock();
    listening_ = true;
    ledger_.listeningBegan(open);
    lock.unlock();
    thread_ = std::jthread(
        [this, listener, watcher](std::stop_token stop) { listen(*listener, *watcher, stop); });
    return true;
}

void SocketEndWatch::listen(platform::proc::TcpDestroyListener& listener, SocketWatcher& watcher,
                            std::stop_token stop) {
    platform::nameCurrentThread("korvel-sockets");
    auto nextLook = Clock::now() + watcher.period();
    std::vector<platform::proc::SocketInfo> sockets;
    for (;;) {
        // Rounded up: rounded down, the last millisecond before a look
        // would be spent polling with no timeout over and over.
        const auto untilLook =
            std::chrono::ceil<std::chrono::milliseconds>(nextLook - Clock::now());
        sockets.clear();
        listener.receive(sockets, static_cast<int>(std::clamp<int64_t>(untilLook.count(), 0,
                                                                       kPollMilliseconds)));
        {
            const double now = platform::secondsSince2001();
            std::lock_guard guard(mutex_);
            for (const auto& socket : sockets) {
                ledger_.destroyed(socket, now);
            }
            // Decided under the lock a request takes, so none finds it ending.
            if (stop.stop_requested() || Clock::now() - lastRequest_ > 2 * period_) {
                listening_ = false;
                return;
            }
        }
        if (Clock::now() >= nextLook) {
            look(watcher);
            nextLook = Clock::now() + watcher.period();
        }
    }
}

void SocketEndWatch::look(SocketWatcher& watcher) {
    const double dumpedAt = platform::secondsSince2001();
    std::vector<platform::proc::SocketInfo> fresh = watcher.freshSockets();
    if (fresh.empty()) {
        return;
    }
    {
        // A reading listed these already.
        std::lock_guard guard(mutex_);
        std::erase_if(fresh, [this](const platform::proc::SocketInfo& socket) {
            return ledger_.isListed(*socket.cookie);
        });
    }
    const std::vector<HelperConnectionData> rows = watcher.findHolders(fresh);
    std::lock_guard guard(mutex_);
    ledger_.attributeWatched(rows, dumpedAt);
}

void SocketEndWatch::complete(HelperResponse& response, EndedSocketsCursor& cursor,
                              const std::vector<HelperConnectionData>& knownOwners) {
    std::lock_guard lock(mutex_);
    ledger_.attributeWatched(knownOwners, response.timestamp);
    ledger_.attribute(response.connections, response.timestamp);
    ledger_.report(cursor, response);
}

bool SocketEndWatch::isListening() const {
    std::lock_guard lock(mutex_);
    return listening_;
}

bool SocketEndWatch::isAttributed(uint64_t cookie) const {
    std::lock_guard lock(mutex_);
    return ledger_.isListed(cookie);
}

} // namespace korvel
