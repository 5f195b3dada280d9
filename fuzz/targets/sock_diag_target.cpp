#include "fuzz/fuzz_targets.h"
#include "platform/proc/sock_diag.h"

#include <cstring>

namespace korvel::fuzz {

// Four bytes of sequence number and one of transport, then one receive buffer.
std::string sockDiag(std::string_view input) {
    if (input.size() < 5) {
        return {};
    }
    using namespace platform::proc;
    uint32_t sequence = 0;
    std::memcpy(&sequence, input.data(), sizeof sequence);
    const Transport transport = input[4] & 1 ? Transport::udp : Transport::tcp;
    const std::string_view buffer = input.substr(5);
    // A copy of its own, so reading past the buffer is caught.
    const std::string data(buffer);
    InetSocketTable table;
    parseSockDiagMessages(data.data(), data.size(), sequence, transport, table);
    for (const auto& socket : table.records()) {
        if (socket.transport != transport) {
            return "a socket was filed under another transport";
        }
        if (socket.family == Family::inet &&
            (socket.localAddress[4] != 0 || socket.remoteAddress[15] != 0)) {
            return "an IPv4 address carries bytes beyond its four";
        }
    }
    return {};
}

} // namespace korvel::fuzz
