#pragma once

#include "companion/model/counters.h"
#include "companion/model/tcp_state.h"
#include "companion/model/transport_proto.h"
#include "shared/helper_response.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// Who counted a socket's bytes: TCP's own counters, the kernel meter (any
// protocol), or nobody (UDP without the meter).
enum class ByteSource : uint8_t { none, tcpCounters, kernelMeter };

// One socket of a process. Two rows built from the same socket in different
// refreshes compare equal.
struct NetConnection {
    int32_t pid = 0;
    TransportProto proto = TransportProto::tcp;
    std::string localAddr;
    uint16_t localPort = 0;
    std::string remoteAddr;
    uint16_t remotePort = 0;
    TCPState state = TCPState::unknown;
    // Cumulative TCP payload counters from the helper, where the kernel gave them.
    std::optional<uint64_t> bytesIn{};
    std::optional<uint64_t> bytesOut{};
    std::optional<uint64_t> cookie{}; // the kernel's name for the socket
    ByteSource counted = ByteSource::none;
    // Bytes per second since the previous reading of the same socket.
    std::optional<double> rateIn{};
    std::optional<double> rateOut{};
    // What it moved since the previous reading (all of it for one first seen
    // whose bytes count); zero where nothing is known.
    ConnectionCounters used{};

    friend bool operator==(const NetConnection& a, const NetConnection& b) {
        return a.pid == b.pid && a.proto == b.proto && a.localAddr == b.localAddr &&
               a.localPort == b.localPort && a.remoteAddr == b.remoteAddr &&
               a.remotePort == b.remotePort && a.state == b.state;
    }
};

// The one name of a socket across readings and list rows: its cookie where
// the helper gave one (a port reused by a new connection is a new socket),
// else its addresses.
std::string socketKey(const NetConnection& connection);
// Its pid, protocol, both addresses and both ports.
std::string socketAddressKey(const NetConnection& connection);

// A row for one helper socket.
NetConnection makeNetConnection(const HelperConnectionData& socket);
// The same, taking the socket's strings.
NetConnection makeNetConnection(HelperConnectionData&& socket);

} // namespace korvel
