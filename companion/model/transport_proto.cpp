#include "companion/model/transport_proto.h"

#include <algorithm>
#include <array>

namespace korvel {
namespace {

constexpr std::array<std::string_view, 4> kRawValues = {"TCP", "TCP6", "UDP", "UDP6"};

} // namespace

TransportProto transportProtoFromHelper(std::string_view proto) {
    const auto found = std::find(kRawValues.begin(), kRawValues.end(), proto);
    return found != kRawValues.end() ? static_cast<TransportProto>(found - kRawValues.begin())
                                     : TransportProto::tcp;
}

std::string_view rawValue(TransportProto proto) {
    const auto index = static_cast<size_t>(proto);
    return index < kRawValues.size() ? kRawValues[index] : kRawValues.front();
}

} // namespace korvel
