#include "companion/model/tcp_state.h"

#include <array>

namespace korvel {
namespace {

constexpr std::array<std::string_view, 12> kRawValues = {
    "CLOSED",     "LISTEN",  "SYN_SENT", "SYN_RCVD",   "ESTABLISHED", "CLOSE_WAIT",
    "FIN_WAIT_1", "CLOSING", "LAST_ACK", "FIN_WAIT_2", "TIME_WAIT",   "\u2014",
};

} // namespace

TCPState tcpStateFromRaw(int32_t raw) {
    if (raw < 0 || raw > static_cast<int32_t>(TCPState::timeWait)) {
        return TCPState::unknown;
    }
    return static_cast<TCPState>(raw);
}

std::string_view rawValue(TCPState state) {
    const auto index = static_cast<size_t>(state);
    return index < kRawValues.size() ? kRawValues[index] : kRawValues.back();
}

} // namespace korvel
