#include "helper/helper_service.h"

#include "helper/fetch_assembly.h"
#include "helper/socket_end_watch.h"

namespace korvel {

void HelperService::fetchData(bool showSystem,
                              const std::function<void(const std::optional<std::string>&)>& reply) {
    SocketEndWatch& watch = SocketEndWatch::shared();
    // Listening before the dump, so no socket ends unheard between the two.
    watch.requested();
    HelperResponse response = assembleHelperResponse(showSystem);
    watch.complete(response, endedSockets_);
    reply(encodeHelperResponse(response));
}

void HelperService::handle(const platform::service::Request& request,
                           const std::function<void(const platform::service::Reply&)>& reply) {
    if (request.selector == kFetchDataSelector) {
        fetchData(request.argument, reply);
    }
    // Any other selector is not part of the protocol: the listener answers nil.
}

bool HelperDelegate::shouldAcceptNewConnection(platform::service::Listener& /*listener*/,
                                               platform::service::IncomingConnection& connection) {
    connection.setRequestHandler(std::make_shared<HelperService>());
    connection.resume();
    return true;
}

} // namespace korvel
