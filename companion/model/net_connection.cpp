#include "companion/model/net_connection.h"

namespace korvel {

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
    return row;
}

} // namespace korvel
