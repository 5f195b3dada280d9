#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace korvel {

enum class TransportProto { tcp, tcp6, udp, udp6 };

// The helper's proto string, matched exactly; any other text counts as TCP.
TransportProto transportProtoFromHelper(std::string_view proto);

// Raw value, also the display label and the helper's proto string.
std::string_view rawValue(TransportProto proto);

} // namespace korvel

template <> struct std::hash<korvel::TransportProto> {
    size_t operator()(korvel::TransportProto proto) const noexcept {
        return std::hash<std::string_view>{}(korvel::rawValue(proto));
    }
};
