#pragma once

#include "platform/proc/inet_socket_table.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvel::platform::proc {

// Adds the sockets of one /proc/net/{tcp,tcp6,udp,udp6} text to the table.
// The header and any line that does not parse are skipped. Returns the number
// of sockets added.
size_t parseProcNetTable(std::string_view text, Family family, Transport transport,
                         InetSocketTable& out);

// The bytes received and sent over every interface but loopback, summed,
// from a /proc/net/dev text; no value when no interface line parses.
struct InterfaceTotals {
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
};
std::optional<InterfaceTotals> parseNetDevTotals(std::string_view text);

// The TCP connections opened so far, actively and passively, from the "Tcp:"
// lines of a /proc/net/snmp text; no value when they are missing. While it
// stands still, no connection has been made since.
std::optional<uint64_t> parseTcpOpens(std::string_view snmp);

} // namespace korvel::platform::proc
