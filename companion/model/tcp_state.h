#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace korvel {

// BSD numbering: the position of each case is the kernel's state number.
enum class TCPState {
    closed,
    listen,
    synSent,
    synReceived,
    established,
    closeWait,
    finWait1,
    closing,
    lastAck,
    finWait2,
    timeWait,
    unknown,
};

// The helper's tcpStateRaw: 0...10 name a state, anything else (UDP sends -1) is unknown.
TCPState tcpStateFromRaw(int32_t raw);

// Raw value, also the display label; unknown is an em dash.
std::string_view rawValue(TCPState state);

} // namespace korvel

template <> struct std::hash<korvel::TCPState> {
    size_t operator()(korvel::TCPState state) const noexcept {
        return std::hash<std::string_view>{}(korvel::rawValue(state));
    }
};
