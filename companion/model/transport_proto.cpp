#include "companion/model/transport_proto.h"

#include <array>

namespace korvel {
namespace {

constexpr std::array<std::string_view, 4> kRawValues = {"TCP", "TCP6", "UDP", "UDP6"};

} // namespace

TransportProto transportProtoFromHelper(std::string_view proto) {
    return transportProtoFromRawValue(proto).value_or(TransportProto::tcp);
}

std::optional<TransportProto> transportProtoFromRawValue(std::string_view text) {
    for (size_t i = 0; i < kRawValues.size(); ++i) {
        if (kRawValues[i] == text) {
            return static_cast<TransportProto>(i);
        }
    }
    return std::nullopt;
}

std::string_view rawValue(TransportProto proto) {
    const auto index = static_cast<size_t>(proto);
    return index < kRawValues.size() ? kRawValues[index] : kRawValues.front();
}

} // namespace korvel
