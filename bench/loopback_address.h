#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>

namespace korvel::bench {

// IPv6 sockets on the IPv4 loopback: the helper lists them, where it leaves
// out TCP pairs over 127.0.0.1 and ::1.
inline sockaddr_in6 mappedLoopback(uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &address.sin6_addr);
    return address;
}

} // namespace korvel::bench
