#include "companion/engine/net_connection.h"

namespace korvel {

NetConnection makeNetConnection(const HelperConnectionData& socket) {
    NetConnection row;
    row.pid = socket.pid;
    row.proto = transportProtoFromHelper(socket.proto);
    row.localAddr = socket.localAddr;
    row.localPort = socket.localPort;
    row.remoteAddr = socket.remoteAddr;
    row.remotePort = socket.remotePort;
    row.state = tcpStateFromRaw(socket.tcpStateRaw);
    row.bytesIn = socket.bytesIn;
    row.bytesOut = socket.bytesOut;
    return row;
}

} // namespace korvel
