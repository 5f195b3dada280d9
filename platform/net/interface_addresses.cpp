#include "platform/net/interface_addresses.h"

#include <ifaddrs.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace korvel::platform {
namespace {

constexpr size_t kHostBufferSize = 1025;

} // namespace

std::optional<std::vector<InterfaceAddress>> listInterfaceAddresses() {
    ifaddrs* head = nullptr;
    if (::getifaddrs(&head) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(head, &::freeifaddrs);
    std::vector<InterfaceAddress> addresses;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) {
            continue;
        }
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) {
            continue;
        }
        // Linux socket addresses carry no length byte; the family fixes it.
        const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        char host[kHostBufferSize] = {};
        InterfaceAddress address{entry->ifa_name, family == AF_INET6, std::nullopt};
        if (::getnameinfo(entry->ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) ==
            0) {
            address.numericHost = host;
        }
        addresses.push_back(std::move(address));
    }
    return addresses;
}

} // namespace korvel::platform
