#pragma once

#include "helper/ended_sockets.h"
#include "shared/helper_response.h"

#include <array>
#include <chrono>
#include <mutex>
#include <thread>

namespace korvel::platform::proc {
class TcpDestroyListener;
}

namespace korvel {

class SocketWatcher;

// Listens to the kernel's TCP destroy events on a thread of its own for as
// long as clients keep asking: until two of their periods pass without a
// request. Bytes a socket moves after the last reading that listed it are
// otherwise lost. Between requests a SocketWatcher ties new connections to
// their processes, so that one shorter than a period is not left to nobody.
class SocketEndWatch {
public:
    using Clock = std::chrono::steady_clock;

    // The one watch of the helper, shared by every connection.
    static SocketEndWatch& shared();

    SocketEndWatch() = default;
    ~SocketEndWatch();
    SocketEndWatch(const SocketEndWatch&) = delete;
    SocketEndWatch& operator=(const SocketEndWatch&) = delete;

    // At the start of a request, before its dump: keeps the listener running,
    // starting it when it is not. False when the kernel refused the listener.
    bool requested(Clock::time_point now = Clock::now());
    // The reading's rows are attributed, with sockets whose process is known
    // otherwise (the kernel meter), and the ended members for this client
    // are filled in.
    void complete(HelperResponse& response, EndedSocketsCursor& cursor,
                  const std::vector<HelperConnectionData>& knownOwners = {});

    bool isListening() const;
    // Whether a reading or the watcher has tied this socket to a process.
    bool isAttributed(uint64_t cookie) const;

private:
    void listen(platform::proc::TcpDestroyListener& listener, SocketWatcher& watcher,
                std::stop_token stop);
    void look(SocketWatcher& watcher);

    std::mutex startMutex_; // one start at a time
    mutable std::mutex mutex_;
    EndedSocketLedger ledger_;
    std::jthread thread_;
    bool listening_ = false;
    Clock::time_point lastRequest_{};
    // The clients' period: the longest of the last few intervals between
    // requests, so that one asked out of turn (a refresh now, a second
    // client) does not make it look short and the listening end early.
    Clock::duration period_{};
    std::array<Clock::duration, 4> recentGaps_{};
    size_t nextGap_ = 0;
};

} // namespace korvel
