#include "helper/helper_service.h"

#include "helper/fetch_assembly.h"
#include "helper/meter_client.h"
#include "helper/socket_end_watch.h"
#include "platform/proc/network_namespace.h"

#include <mutex>

namespace korvel {

namespace {

// The meter's counts, when one runs; one client per helper.
std::optional<MeterReply> askMeter() {
    static MeterClient client;
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    return client.ask();
}

bool inOurNetworkNamespace(int32_t pid) {
    static const auto ours = platform::proc::networkNamespaceOf(0);
    const auto theirs = platform::proc::networkNamespaceOf(pid);
    // Unreadable (another user's process): taken for ours, so its TCP
    // sockets are left to the kernel's destroy messages, as without a meter.
    return !theirs || theirs == ours;
}

} // namespace

void HelperService::fetchData(bool showSystem,
                              const std::function<void(const std::optional<std::string>&)>& reply) {
    SocketEndWatch& watch = SocketEndWatch::shared();
    // Listening before the dump, so no socket ends unheard between the two.
    watch.requested();
    HelperResponse response = assembleHelperResponse(showSystem);
    std::vector<HelperConnectionData> knownOwners;
    if (const auto meter = askMeter()) {
        knownOwners = addMeterCounts(response, *meter, meterEnded_, response.timestamp,
                                     inOurNetworkNamespace);
    }
    watch.complete(response, endedSockets_, knownOwners);
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
