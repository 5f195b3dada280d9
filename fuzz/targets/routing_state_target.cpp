#include "fuzz/fuzz_targets.h"
#include "platform/netpath/routing_state.h"

#include <cstring>

namespace korvel::fuzz {

// Four bytes of dump sequence number, four of port, then datagrams, each
// after a two-byte length, applied in order to one state.
std::string routingState(std::string_view input) {
    if (input.size() < 8) {
        return {};
    }
    uint32_t seq = 0;
    uint32_t port = 0;
    std::memcpy(&seq, input.data(), 4);
    std::memcpy(&port, input.data() + 4, 4);
    input.remove_prefix(8);

    using platform::netpath::InterfaceType;
    platform::netpath::RoutingState state;
    while (input.size() >= 2) {
        uint16_t length = 0;
        std::memcpy(&length, input.data(), 2);
        input.remove_prefix(2);
        const std::string_view bytes = input.substr(0, length);
        input.remove_prefix(bytes.size());
        const std::vector<uint8_t> datagram(bytes.begin(), bytes.end());
        const auto result = state.apply(datagram, seq, port);
        if (result.torn && !result.needsResync) {
            return "a torn datagram did not ask for a re-read";
        }
        if (result.needsResync) {
            state.clear();
        }
    }
    const auto routes = state.usableDefaultRoutes();
    for (size_t i = 1; i < routes.size(); ++i) {
        if (routes[i].metric < routes[i - 1].metric) {
            return "usable default routes out of metric order";
        }
    }
    state.hasRoutableAddress(false);
    state.hasRoutableAddress(true);
    const auto path =
        state.networkPath([](const std::string&) { return InterfaceType::other; }, false);
    if ((path.status == platform::netpath::PathStatus::satisfied) == path.interfaces.empty()) {
        return "a satisfied path without interfaces, or the reverse";
    }
    return {};
}

} // namespace korvel::fuzz
