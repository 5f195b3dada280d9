#include "companion/model/net_connection.h"

#include "shared/meter_reply.h"

namespace korvel {

std::string socketAddressKey(const NetConnection& connection) {
    std::string key = std::to_string(connection.pid);
    key += ' ';
    key += rawValue(connection.proto);
    key += ' ';
    key += connection.localAddr;
    key += ' ';
    key += std::to_string(connection.localPort);
    key += ' ';
    key += connection.remoteAddr;
    key += ' ';
    key += std::to_string(connection.remotePort);
    return key;
}

std::string socketKey(const NetConnection& connection) {
    return connection.cookie ? "cookie " + std::to_string(*connection.cookie)
                             : socketAddressKey(connection);
}

NetConnection makeNetConnection(const HelperConnectionData& socket) {
    return makeNetConnection(HelperConnectionData(socket));
}

NetConnection makeNetConnection(HelperConnectionData&& socket) {
    NetConnection row;
    row.pid = socket.pid;
    row.proto = transportProtoFromHelper(socket.proto);
    row.localAddr = std::move(socket.localAddr);
    row.localPort = socket.localPort;
    row.remoteAddr = std::move(socket.remoteAddr);
    row.remotePort = socket.remotePort;
    row.state = tcpStateFromRaw(socket.tcpStateRaw);
    row.bytesIn = socket.bytesIn;
    row.bytesOut = socket.bytesOut;
    row.cookie = socket.cookie;
    if (row.bytesIn || row.bytesOut) {
        row.counted =
            socket.source == kMeterSource ? ByteSource::kernelMeter : ByteSource::tcpCounters;
    }
    return row;
}

} // namespace korvel
