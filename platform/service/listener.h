#pragma once

#include "platform/service/messages.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::service {

// The object a connection exports: receives each request and must call reply
// exactly once before returning.
class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    virtual void handle(const Request& request, const std::function<void(const Reply&)>& reply) = 0;
};

class IncomingConnection {
public:
    void setRequestHandler(std::shared_ptr<RequestHandler> object) {
        exported_ = std::move(object);
    }
    void resume() { resumed_ = true; }
    long peerUid() const { return peerUid_; }

private:
    friend class Listener;
    std::shared_ptr<RequestHandler> exported_;
    bool resumed_ = false;
    long peerUid_ = -1;
    int fd_ = -1;
    std::unique_ptr<FrameReader> reader_;
    std::optional<Request> request_;                     // the next one to serve
    std::string outgoing_;                               // replies not yet taken by the socket
    std::chrono::steady_clock::time_point lastProgress_; // bytes moved either way
};

class Listener;

class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    virtual bool shouldAcceptNewConnection(Listener& listener, IncomingConnection& connection) = 0;
};

// Serves one service name on one thread. Requests are handled synchronously,
// one at a time, taking turns between connections, so a client pipelining
// requests delays the others by one request at most. Replies leave through
// per-connection buffers without blocking: a client that stops reading is no
// longer served once its buffer is full, and is hung up on when it takes
// nothing for the send timeout. Only peers of our own uid are served;
// malformed or oversized frames close just the connection they came on.
class Listener {
public:
    // The listener of this service: the socket handed over by the service
    // manager or starting client (LISTEN_FDS/LISTEN_PID), else one bound here.
    // No value, with the reason in error, when the socket handed over is not
    // one, none can be bound, or another instance already serves.
    static std::unique_ptr<Listener> serviceListener(const std::string& serviceName,
                                                     std::string& error);

    // The same for a socket at a fixed path (a system service's).
    static std::unique_ptr<Listener> socketListener(const std::string& path, std::string& error);

    // Takes ownership of an already listening descriptor.
    explicit Listener(int listenFd);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    void setDelegate(ListenerDelegate* delegate) { delegate_ = delegate; }
    void resume() { resumed_ = true; }
    // Serves peers of any uid; the delegate decides what each may see.
    void serveEveryUser() { everyUser_ = true; }

    // After this long with no connection, run() returns; zero: never.
    void setIdleExit(std::chrono::milliseconds quiet) { idleExit_ = quiet; }
    void setSendTimeout(std::chrono::milliseconds timeout) { sendTimeout_ = timeout; }

    // Serves until stop() is called from a request handler or another thread,
    // or the idle period passes. False, with errno, when waiting failed.
    bool run();
    void stop();

    // A new client past this many evicts the one quiet the longest.
    static constexpr size_t kMaxConnections = 256;
    // Replies queued beyond this wait until the client reads.
    static constexpr size_t kMaxQueuedOutput = 64 * 1024;

private:
    static std::unique_ptr<Listener> boundListener(const std::string& path, std::string& error);
    void acceptConnections();
    // False when the connection must be closed.
    bool receive(IncomingConnection& connection);
    bool flush(IncomingConnection& connection);
    bool serveOne(IncomingConnection& connection);
    bool ready(const IncomingConnection& connection) const;
    void close(size_t index);

    int listenFd_;
    int wakeFd_;
    ListenerDelegate* delegate_ = nullptr;
    bool resumed_ = false;
    bool everyUser_ = false;
    std::atomic<bool> stopping_{false}; // stop() may come from another thread
    std::chrono::milliseconds idleExit_{0};
    std::chrono::milliseconds sendTimeout_{10000};
    std::vector<std::unique_ptr<IncomingConnection>> connections_;
};

} // namespace korvel::platform::service
