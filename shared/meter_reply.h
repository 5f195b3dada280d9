#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The kernel meter: a root service counting every socket's bytes in the
// kernel. Its socket is the system's, not a user's, so its path is fixed.
inline constexpr const char* kMeterSocketPath = "/run/korvel/meter.sock";
// KORVEL_METER_SOCKET, where tests run a meter of their own beside the
// system's, else kMeterSocketPath: the meter listens and the helper asks there.
std::string meterSocketPath();
inline constexpr const char* kMeterSocketsSelector = "meterSockets";
// The value of HelperConnectionData::source for figures the meter counted.
inline constexpr const char* kMeterSource = "meter";

// One socket as the meter counted it: payload bytes (what the socket's owner
// sent and received, headers left out) and packets, since the meter first
// saw the socket.
struct MeterSocket {
    uint64_t cookie = 0;
    int32_t pid = 0; // the process that created (or, accepted, released) it; 0: unknown
    uint32_t uid = 0;
    std::string proto; // TCP, TCP6, UDP, UDP6, as the helper's rows name them
    std::string localAddr;
    uint16_t localPort = 0;
    std::string remoteAddr;
    uint16_t remotePort = 0;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    uint64_t packetsIn = 0;
    uint64_t packetsOut = 0;
    bool ended = false;

    bool operator==(const MeterSocket&) const = default;
};

// Each connection is told every open socket once, then only what changed:
// a socket whose counts moved, one new, and the cookies of those gone. A
// machine's idle sockets so cost a reading nothing after the first.
struct MeterReply {
    std::vector<MeterSocket> sockets; // open ones (changed, unless full), then ended ones
    // Sockets whose counts the kernel's full maps gave up, since the meter started.
    uint64_t lost = 0;
    bool full = true;           // every open socket, not only the changed ones
    std::vector<uint64_t> gone; // open sockets told before, open no longer

    bool operator==(const MeterReply&) const = default;
};

// The client's side: the open sockets as told so far. apply() takes a reply
// (the first of a connection is full) and gives the whole of it: every open
// socket, then the ended ones of that reply.
class MeterSocketsTold {
public:
    MeterReply apply(MeterReply reply);
    void forget() { open_.clear(); }

private:
    std::vector<MeterSocket> open_;
};

std::string encodeMeterReply(const MeterReply& reply);
// No value when the text is not a reply; a row of the wrong shape is left out.
std::optional<MeterReply> decodeMeterReply(std::string_view text);

} // namespace korvel
