#pragma once

#include "helper/ended_sockets.h"
#include "helper/meter_counts.h"
#include "platform/service/listener.h"
#include "shared/helper_protocol.h"

namespace korvel {

// The exported object of one connection: answers fetch requests from the
// collectors, synchronously, on the thread that delivered them. It keeps
// which ended sockets its client has been told of.
class HelperService : public KorvelHelperXPCProtocol, public platform::service::RequestHandler {
public:
    void fetchData(bool showSystem,
                   const std::function<void(const std::optional<std::string>&)>& reply) override;

    void handle(const platform::service::Request& request,
                const std::function<void(const platform::service::Reply&)>& reply) override;

private:
    EndedSocketsCursor endedSockets_;
    MeterEndedMemory meterEnded_;
};

// Accepts every connection the listener lets through and gives it a service.
class HelperDelegate : public platform::service::ListenerDelegate {
public:
    bool shouldAcceptNewConnection(platform::service::Listener& listener,
                                   platform::service::IncomingConnection& connection) override;
};

} // namespace korvel
