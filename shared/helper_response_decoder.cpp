#include "shared/helper_response.h"

#include <limits>
#include <nlohmann/json.hpp>

namespace korvel {
namespace {

using Json = nlohmann::json;

// Thrown inside the decoder only; the caller sees an absent document.
struct Reject {};

const Json& required(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) {
        throw Reject{};
    }
    return *it;
}

const Json* optional(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

template <typename Integer> Integer integerValue(const Json& value) {
    using Limits = std::numeric_limits<Integer>;
    if (value.is_number_unsigned()) {
        const auto v = value.get<uint64_t>();
        if (v > static_cast<uint64_t>(Limits::max())) {
            throw Reject{};
        }
        return static_cast<Integer>(v);
    }
    if (value.is_number_integer()) {
        const auto v = value.get<int64_t>();
        if constexpr (Limits::is_signed) {
            if (v < static_cast<int64_t>(Limits::min()) || v > static_cast<int64_t>(Limits::max())) {
                throw Reject{};
            }
        } else if (v < 0 || static_cast<uint64_t>(v) > Limits::max()) {
            throw Reject{};
        }
        return static_cast<Integer>(v);
    }
    throw Reject{};
}

double doubleValue(const Json& value) {
    if (!value.is_number()) {
        throw Reject{};
    }
    return value.get<double>();
}

std::string stringValue(const Json& value) {
    if (!value.is_string()) {
        throw Reject{};
    }
    return value.get<std::string>();
}

const Json& objectValue(const Json& value) {
    if (!value.is_object()) {
        throw Reject{};
    }
    return value;
}

const Json& arrayValue(const Json& value) {
    if (!value.is_array()) {
        throw Reject{};
    }
    return value;
}

HelperProcessData decodeProcess(const Json& json) {
    const Json& o = objectValue(json);
    HelperProcessData p;
    p.pid = integerValue<int32_t>(required(o, "pid"));
    p.name = stringValue(required(o, "name"));
    if (const Json* path = optional(o, "execPath")) {
        p.execPath = stringValue(*path);
    }
    p.cpuNS = integerValue<uint64_t>(required(o, "cpuNS"));
    p.memBytes = integerValue<uint64_t>(required(o, "memBytes"));
    return p;
}

HelperConnectionData decodeConnection(const Json& json) {
    const Json& o = objectValue(json);
    HelperConnectionData c;
    c.pid = integerValue<int32_t>(required(o, "pid"));
    c.proto = stringValue(required(o, "proto"));
    c.localAddr = stringValue(required(o, "localAddr"));
    c.localPort = integerValue<uint16_t>(required(o, "localPort"));
    c.remoteAddr = stringValue(required(o, "remoteAddr"));
    c.remotePort = integerValue<uint16_t>(required(o, "remotePort"));
    c.tcpStateRaw = integerValue<int32_t>(required(o, "tcpStateRaw"));
    return c;
}

HelperInterfaceData decodeInterface(const Json& json) {
    const Json& o = objectValue(json);
    HelperInterfaceData i;
    i.id = stringValue(required(o, "id"));
    i.bytesIn = integerValue<uint64_t>(required(o, "bytesIn"));
    i.bytesOut = integerValue<uint64_t>(required(o, "bytesOut"));
    return i;
}

template <typename Row, typename Decode>
std::vector<Row> decodeArray(const Json& object, const char* key, Decode decode) {
    const Json& array = arrayValue(required(object, key));
    std::vector<Row> rows;
    rows.reserve(array.size());
    for (const Json& element : array) {
        rows.push_back(decode(element));
    }
    return rows;
}

} // namespace

std::optional<HelperResponse> decodeHelperResponse(std::string_view text) {
    const Json json = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    try {
        HelperResponse r;
        r.processes = decodeArray<HelperProcessData>(json, "processes", decodeProcess);
        r.connections = decodeArray<HelperConnectionData>(json, "connections", decodeConnection);
        r.interfaces = decodeArray<HelperInterfaceData>(json, "interfaces", decodeInterface);
        r.timestamp = doubleValue(required(json, "timestamp"));
        r.totalRam = integerValue<uint64_t>(required(json, "totalRam"));
        r.usedRam = integerValue<uint64_t>(required(json, "usedRam"));
        r.freeRam = integerValue<uint64_t>(required(json, "freeRam"));
        r.memPressureLevel = integerValue<int32_t>(required(json, "memPressureLevel"));
        if (const Json* v = optional(json, "gpuCoreCount")) {
            r.gpuCoreCount = integerValue<int64_t>(*v);
        }
        if (const Json* v = optional(json, "gpuUsagePercent")) {
            r.gpuUsagePercent = doubleValue(*v);
        }
        if (const Json* v = optional(json, "cpuTemperatureCelsius")) {
            r.cpuTemperatureCelsius = doubleValue(*v);
        }
        if (const Json* v = optional(json, "gpuTemperatureCelsius")) {
            r.gpuTemperatureCelsius = doubleValue(*v);
        }
        return r;
    } catch (const Reject&) {
        return std::nullopt;
    }
}

} // namespace korvel
