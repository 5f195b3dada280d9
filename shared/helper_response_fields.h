#pragma once

// The reply's members, declared once: the encoder writes them in this order
// and the decoder reads them by these names.

#include "shared/helper_response.h"

#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace korvel::wire {

// Required members must be present and well typed; optional ones may also be
// absent or null; additive ones, which older readers do not know, are taken
// when well typed and otherwise ignored, never failing the document.
enum class Presence { required, optional, additive };

template <typename Record, typename Value> struct Field {
    std::string_view name;
    Value Record::*member;
    Presence presence;
};

template <typename Record, typename Value>
constexpr Field<Record, Value> field(std::string_view name, Value Record::*member,
                                     Presence presence = Presence::required) {
    return {name, member, presence};
}

template <typename Record> struct Fields;

template <> struct Fields<HelperProcessData> {
    using R = HelperProcessData;
    static constexpr auto all = std::tuple{
        field("pid", &R::pid),
        field("name", &R::name),
        field("execPath", &R::execPath, Presence::optional),
        field("cpuNS", &R::cpuNS),
        field("memBytes", &R::memBytes),
        field("uid", &R::uid, Presence::additive),
        field("unit", &R::unit, Presence::additive),
        field("appId", &R::appId, Presence::additive),
        field("container", &R::container, Presence::additive),
        field("startTime", &R::startTime, Presence::additive),
        field("gpuEngines", &R::gpuEngines, Presence::additive),
        field("gpuMemoryBytes", &R::gpuMemoryBytes, Presence::additive),
        field("diskReadBytes", &R::diskReadBytes, Presence::additive),
        field("diskWriteBytes", &R::diskWriteBytes, Presence::additive),
        field("script", &R::script, Presence::additive),
        field("namespaceBytesIn", &R::namespaceBytesIn, Presence::additive),
        field("namespaceBytesOut", &R::namespaceBytesOut, Presence::additive),
    };
};

template <> struct Fields<HelperGpuEngineData> {
    using R = HelperGpuEngineData;
    static constexpr auto all = std::tuple{
        field("engine", &R::engine),
        field("ns", &R::ns),
    };
};

template <> struct Fields<HelperConnectionData> {
    using R = HelperConnectionData;
    static constexpr auto all = std::tuple{
        field("pid", &R::pid),
        field("proto", &R::proto),
        field("localAddr", &R::localAddr),
        field("localPort", &R::localPort),
        field("remoteAddr", &R::remoteAddr),
        field("remotePort", &R::remotePort),
        field("tcpStateRaw", &R::tcpStateRaw),
        field("bytesIn", &R::bytesIn, Presence::additive),
        field("bytesOut", &R::bytesOut, Presence::additive),
        field("cookie", &R::cookie, Presence::additive),
        field("source", &R::source, Presence::additive),
    };
};

template <> struct Fields<HelperInterfaceData> {
    using R = HelperInterfaceData;
    static constexpr auto all = std::tuple{
        field("id", &R::id),
        field("bytesIn", &R::bytesIn),
        field("bytesOut", &R::bytesOut),
    };
};

template <> struct Fields<HelperResponse> {
    using R = HelperResponse;
    static constexpr auto all = std::tuple{
        field("processes", &R::processes),
        field("connections", &R::connections),
        field("interfaces", &R::interfaces),
        field("timestamp", &R::timestamp),
        field("totalRam", &R::totalRam),
        field("usedRam", &R::usedRam),
        field("freeRam", &R::freeRam),
        field("memPressureLevel", &R::memPressureLevel),
        field("gpuCoreCount", &R::gpuCoreCount, Presence::optional),
        field("gpuUsagePercent", &R::gpuUsagePercent, Presence::optional),
        field("cpuTemperatureCelsius", &R::cpuTemperatureCelsius, Presence::optional),
        field("gpuTemperatureCelsius", &R::gpuTemperatureCelsius, Presence::optional),
        field("endedConnections", &R::endedConnections, Presence::additive),
        field("unattributedTcpBytesIn", &R::unattributedTcpBytesIn, Presence::additive),
        field("unattributedTcpBytesOut", &R::unattributedTcpBytesOut, Presence::additive),
    };
};

template <typename T> struct IsOptional : std::false_type {};
template <typename T> struct IsOptional<std::optional<T>> : std::true_type { using Value = T; };
template <typename T> struct IsRows : std::false_type {};
template <typename T> struct IsRows<std::vector<T>> : std::true_type { using Row = T; };

} // namespace korvel::wire
