#include "shared/helper_response.h"
#include "shared/strict_json_reader.h"

namespace korvel {
namespace {

using namespace strict_json;

// Presence and validity of one member, as its last occurrence left them.
template <typename T> struct Member {
    bool present = false;
    bool valid = false;
    T value{};

    template <typename Read> void read(Read&& read) {
        present = true;
        valid = read(value);
    }
    bool ok() const { return present && valid; }
};

// An optional member: absent and null both mean no value.
template <typename T> struct OptionalMember {
    bool valid = true;
    std::optional<T> value;

    template <typename Read> void read(Reader& r, Read&& read) {
        if (r.null()) {
            valid = true;
            value.reset();
            return;
        }
        T v{};
        valid = read(v);
        value = std::move(v);
    }
};

// An additive member: taken when well typed, otherwise read past as unknown.
template <typename T> struct ExtraMember {
    std::optional<T> value;

    template <typename Read> void read(Reader& r, Read&& read) {
        value.reset();
        T v{};
        if (!r.null() && read(v)) {
            value = std::move(v);
        }
    }
};

constexpr int kRecordDepth = 3;

auto integerReader(Reader& r, int depth) {
    return [&r, depth](auto& out) {
        Number n;
        return r.number(n, depth) && integerFrom(n, out);
    };
}

auto doubleReader(Reader& r, int depth) {
    return [&r, depth](double& out) {
        Number n;
        return r.number(n, depth) && doubleFrom(n, out);
    };
}

auto stringReader(Reader& r, int depth) {
    return [&r, depth](std::string& out) { return r.string(out, depth); };
}

bool decodeProcess(Reader& r, HelperProcessData& p) {
    Member<int32_t> pid;
    Member<std::string> name;
    OptionalMember<std::string> execPath;
    Member<uint64_t> cpuNS, memBytes;
    ExtraMember<uint32_t> uid;
    ExtraMember<std::string> unit, appId, container;
    ExtraMember<double> startTime;
    r.object(
        [&](std::string_view key) {
            if (key == "pid") {
                pid.read(integerReader(r, kRecordDepth));
            } else if (key == "name") {
                name.read(stringReader(r, kRecordDepth));
            } else if (key == "execPath") {
                execPath.read(r, stringReader(r, kRecordDepth));
            } else if (key == "cpuNS") {
                cpuNS.read(integerReader(r, kRecordDepth));
            } else if (key == "memBytes") {
                memBytes.read(integerReader(r, kRecordDepth));
            } else if (key == "uid") {
                uid.read(r, integerReader(r, kRecordDepth));
            } else if (key == "unit") {
                unit.read(r, stringReader(r, kRecordDepth));
            } else if (key == "appId") {
                appId.read(r, stringReader(r, kRecordDepth));
            } else if (key == "container") {
                container.read(r, stringReader(r, kRecordDepth));
            } else if (key == "startTime") {
                startTime.read(r, doubleReader(r, kRecordDepth));
            } else {
                r.skip(kRecordDepth);
            }
        },
        kRecordDepth - 1);
    if (!pid.ok() || !name.ok() || !execPath.valid || !cpuNS.ok() || !memBytes.ok()) {
        return false;
    }
    p = {pid.value,
         std::move(name.value),
         std::move(execPath.value),
         cpuNS.value,
         memBytes.value,
         uid.value,
         std::move(unit.value),
         std::move(appId.value),
         std::move(container.value),
         startTime.value};
    return true;
}

bool decodeConnection(Reader& r, HelperConnectionData& c) {
    Member<int32_t> pid, tcpStateRaw;
    Member<std::string> proto, localAddr, remoteAddr;
    Member<uint16_t> localPort, remotePort;
    ExtraMember<uint64_t> bytesIn, bytesOut, cookie;
    r.object(
        [&](std::string_view key) {
            if (key == "pid") {
                pid.read(integerReader(r, kRecordDepth));
            } else if (key == "proto") {
                proto.read(stringReader(r, kRecordDepth));
            } else if (key == "localAddr") {
                localAddr.read(stringReader(r, kRecordDepth));
            } else if (key == "localPort") {
                localPort.read(integerReader(r, kRecordDepth));
            } else if (key == "remoteAddr") {
                remoteAddr.read(stringReader(r, kRecordDepth));
            } else if (key == "remotePort") {
                remotePort.read(integerReader(r, kRecordDepth));
            } else if (key == "tcpStateRaw") {
                tcpStateRaw.read(integerReader(r, kRecordDepth));
            } else if (key == "bytesIn") {
                bytesIn.read(r, integerReader(r, kRecordDepth));
            } else if (key == "bytesOut") {
                bytesOut.read(r, integerReader(r, kRecordDepth));
            } else if (key == "cookie") {
                cookie.read(r, integerReader(r, kRecordDepth));
            } else {
                r.skip(kRecordDepth);
            }
        },
        kRecordDepth - 1);
    if (!pid.ok() || !proto.ok() || !localAddr.ok() || !localPort.ok() || !remoteAddr.ok() ||
        !remotePort.ok() || !tcpStateRaw.ok()) {
        return false;
    }
    c = {pid.value,
         std::move(proto.value),
         std::move(localAddr.value),
         localPort.value,
         std::move(remoteAddr.value),
         remotePort.value,
         tcpStateRaw.value,
         bytesIn.value,
         bytesOut.value,
         cookie.value};
    return true;
}

bool decodeInterface(Reader& r, HelperInterfaceData& i) {
    Member<std::string> id;
    Member<uint64_t> bytesIn, bytesOut;
    r.object(
        [&](std::string_view key) {
            if (key == "id") {
                id.read(stringReader(r, kRecordDepth));
            } else if (key == "bytesIn") {
                bytesIn.read(integerReader(r, kRecordDepth));
            } else if (key == "bytesOut") {
                bytesOut.read(integerReader(r, kRecordDepth));
            } else {
                r.skip(kRecordDepth);
            }
        },
        kRecordDepth - 1);
    if (!id.ok() || !bytesIn.ok() || !bytesOut.ok()) {
        return false;
    }
    i = {std::move(id.value), bytesIn.value, bytesOut.value};
    return true;
}

// An array of records; false (everything still read) when it is not an array
// or any element is not a valid record.
template <typename Row, typename Decode> auto arrayReader(Reader& r, Decode decode) {
    return [&r, decode](std::vector<Row>& rows) {
        rows.clear();
        if (r.peek() != '[') {
            r.skip(1);
            return false;
        }
        bool valid = true;
        r.array(
            [&] {
                if (!valid || r.peek() != '{') {
                    r.skip(kRecordDepth - 1);
                    valid = false;
                    return;
                }
                Row row;
                if (decode(r, row)) {
                    rows.push_back(std::move(row));
                } else {
                    valid = false;
                }
            },
            1);
        return valid;
    };
}

} // namespace

std::optional<HelperResponse> decodeHelperResponse(std::string_view text) {
    try {
        Reader r(text);
        if (r.peek() != '{') {
            return std::nullopt;
        }
        Member<std::vector<HelperProcessData>> processes;
        Member<std::vector<HelperConnectionData>> connections;
        Member<std::vector<HelperInterfaceData>> interfaces;
        Member<double> timestamp;
        Member<uint64_t> totalRam, usedRam, freeRam;
        Member<int32_t> memPressureLevel;
        OptionalMember<int64_t> gpuCoreCount;
        OptionalMember<double> gpuUsagePercent, cpuTemperatureCelsius, gpuTemperatureCelsius;
        ExtraMember<std::vector<HelperConnectionData>> endedConnections;
        ExtraMember<uint64_t> unattributedTcpBytesIn, unattributedTcpBytesOut;
        r.object(
            [&](std::string_view key) {
                if (key == "connections") {
                    connections.read(arrayReader<HelperConnectionData>(r, decodeConnection));
                } else if (key == "processes") {
                    processes.read(arrayReader<HelperProcessData>(r, decodeProcess));
                } else if (key == "interfaces") {
                    interfaces.read(arrayReader<HelperInterfaceData>(r, decodeInterface));
                } else if (key == "timestamp") {
                    timestamp.read(doubleReader(r, 1));
                } else if (key == "totalRam") {
                    totalRam.read(integerReader(r, 1));
                } else if (key == "usedRam") {
                    usedRam.read(integerReader(r, 1));
                } else if (key == "freeRam") {
                    freeRam.read(integerReader(r, 1));
                } else if (key == "memPressureLevel") {
                    memPressureLevel.read(integerReader(r, 1));
                } else if (key == "gpuCoreCount") {
                    gpuCoreCount.read(r, integerReader(r, 1));
                } else if (key == "gpuUsagePercent") {
                    gpuUsagePercent.read(r, doubleReader(r, 1));
                } else if (key == "cpuTemperatureCelsius") {
                    cpuTemperatureCelsius.read(r, doubleReader(r, 1));
                } else if (key == "gpuTemperatureCelsius") {
                    gpuTemperatureCelsius.read(r, doubleReader(r, 1));
                } else if (key == "endedConnections") {
                    endedConnections.read(r,
                                          arrayReader<HelperConnectionData>(r, decodeConnection));
                } else if (key == "unattributedTcpBytesIn") {
                    unattributedTcpBytesIn.read(r, integerReader(r, 1));
                } else if (key == "unattributedTcpBytesOut") {
                    unattributedTcpBytesOut.read(r, integerReader(r, 1));
                } else {
                    r.skip(1);
                }
            },
            0);
        if (!r.finished()) {
            return std::nullopt;
        }
        if (!processes.ok() || !connections.ok() || !interfaces.ok() || !timestamp.ok() ||
            !totalRam.ok() || !usedRam.ok() || !freeRam.ok() || !memPressureLevel.ok() ||
            !gpuCoreCount.valid || !gpuUsagePercent.valid || !cpuTemperatureCelsius.valid ||
            !gpuTemperatureCelsius.valid) {
            return std::nullopt;
        }
        HelperResponse response;
        response.processes = std::move(processes.value);
        response.connections = std::move(connections.value);
        response.interfaces = std::move(interfaces.value);
        response.timestamp = timestamp.value;
        response.totalRam = totalRam.value;
        response.usedRam = usedRam.value;
        response.freeRam = freeRam.value;
        response.memPressureLevel = memPressureLevel.value;
        response.gpuCoreCount = gpuCoreCount.value;
        response.gpuUsagePercent = gpuUsagePercent.value;
        response.cpuTemperatureCelsius = cpuTemperatureCelsius.value;
        response.gpuTemperatureCelsius = gpuTemperatureCelsius.value;
        response.endedConnections =
            std::move(endedConnections.value).value_or(std::vector<HelperConnectionData>{});
        response.unattributedTcpBytesIn = unattributedTcpBytesIn.value;
        response.unattributedTcpBytesOut = unattributedTcpBytesOut.value;
        return response;
    } catch (const SyntaxError&) {
        return std::nullopt;
    }
}

} // namespace korvel
