#pragma once

#include "platform/service/messages.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace korvel::platform::service {

struct ConnectionOptions {
    // The program started when nobody listens on the service's socket.
    std::string serviceExecutable;
    // A request without a reply after this long ends in its error handler.
    std::chrono::milliseconds requestDeadline{30000};
    uint32_t maxReplyBody = kDefaultMaxReplyBody;
    // Empty: the socket path derived from the service name.
    std::string socketPathOverride;
};

// Client side of a named service. Connecting, starting the service and all
// socket I/O happen on the connection's own thread, so send() never waits;
// replies and error handlers run there too, each request ending in exactly
// one of them.
//  - interruption: the service went away with the connection in use (it
//    exited or crashed); the next request starts it again. A service that dies
//    before it greets us counts once, and is started again only after a pause
//    that doubles with each such death.
//  - invalidation: the service cannot be reached or started; the connection
//    is dead for good and every later request fails at once.
class Connection {
public:
    // The reply is the handler's to keep (a reading can be megabytes).
    using ReplyHandler = std::function<void(Reply)>;
    using ErrorHandler = std::function<void(const std::string& description)>;

    static constexpr std::chrono::milliseconds kFirstRelaunchPause{1000};
    static constexpr std::chrono::milliseconds kLongestRelaunchPause{60000};

    static std::shared_ptr<Connection> create(std::string serviceName, ConnectionOptions options);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setInterruptionHandler(std::function<void()> handler);
    void setInvalidationHandler(std::function<void()> handler);
    void resume();
    void invalidate();

    void send(const Request& request, ReplyHandler reply, ErrorHandler error);

    const std::string& serviceName() const { return serviceName_; }

private:
    Connection(std::string serviceName, ConnectionOptions options);

    // Shared with the I/O thread, which may outlive this object by one
    // wake-up: a handler running there may drop the last reference to us.
    struct State;
    const std::string serviceName_;
    std::shared_ptr<State> state_;
};

} // namespace korvel::platform::service
