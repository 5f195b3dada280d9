#pragma once

#include "platform/xpc/messages.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvel::platform::xpc {

// The object a connection exports: receives each request and must call reply
// exactly once before returning.
class ExportedObject {
public:
    virtual ~ExportedObject() = default;
    virtual void handle(const Request& request, const std::function<void(const Reply&)>& reply) = 0;
};

class IncomingConnection {
public:
    void setExportedObject(std::shared_ptr<ExportedObject> object) {
        exported_ = std::move(object);
    }
    void resume() { resumed_ = true; }
    long peerUid() const { return peerUid_; }

private:
    friend class Listener;
    std::shared_ptr<ExportedObject> exported_;
    bool resumed_ = false;
    long peerUid_ = -1;
    int fd_ = -1;
    std::unique_ptr<FrameReader> reader_;
};

class Listener;

class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    virtual bool shouldAcceptNewConnection(Listener& listener, IncomingConnection& connection) = 0;
};

// Serves one service name on one thread: requests are handled synchronously,
// one at a time, in the order they arrive. Only peers of our own uid are
// served; malformed or oversized frames close just the connection they came on.
class Listener {
public:
    // The listener of this service: the socket handed over by the service
    // manager or starting client (LISTEN_FDS/LISTEN_PID), else one bound here.
    // No value when neither is possible or another instance already serves.
    static std::unique_ptr<Listener> serviceListener(const std::string& serviceName);

    // Takes ownership of an already listening descriptor.
    explicit Listener(int listenFd);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    void setDelegate(ListenerDelegate* delegate) { delegate_ = delegate; }
    void resume() { resumed_ = true; }

    // Serves until stop() is called from a request handler or another thread.
    void run();
    void stop();

    static constexpr size_t kMaxConnections = 64;

private:
    void acceptConnections();
    // False when the connection must be closed.
    bool serviceReadable(IncomingConnection& connection);

    int listenFd_;
    int wakeFd_;
    ListenerDelegate* delegate_ = nullptr;
    bool resumed_ = false;
    std::atomic<bool> stopping_{false}; // stop() may come from another thread
    std::vector<std::unique_ptr<IncomingConnection>> connections_;
};

} // namespace korvel::platform::xpc
