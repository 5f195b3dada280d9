#include "companion/model/net_connection.h"

#include "shared/meter_reply.h"

namespace korvel {

std::string socketAddressKey(const NetConnection& connection) {
    return std::to_string(connection.pid) + ' ' + std::string(rawValue(connection.proto)) + ' ' +
           connection.localAddr + ' ' + std::to_string(connection.localPort) + ' ' +
           connection.remoteAddr + ' ' + std::to_string(connection.remotePort);
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
