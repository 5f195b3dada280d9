#include "helper/ended_sockets.h"

#include <gtest/gtest.h>

#include <string>

namespace korvel {
namespace {

using platform::proc::Family;
using platform::proc::SocketInfo;

// A TCP6 socket of ::ffff:10.0.0.2 port `port` to ::ffff:10.0.0.9:443, as a
// destroy message gives it: no inode, its cookie and final counters.
SocketInfo destroyedSocket(uint64_t cookie, uint16_t port, uint64_t in, uint64_t out,
                           bool loopback = false) {
    SocketInfo info;
    info.family = Family::inet6;
    info.localPort = port;
    info.remotePort = 443;
    info.localAddress = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 2};
    info.remoteAddress = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 9};
    if (loopback) {
        info.family = Family::inet;
        info.localAddress = info.remoteAddress = {127, 0, 0, 1};
    }
    info.bytesReceived = in;
    info.bytesAcked = out;
    info.cookie = cookie;
    return info;
}

HelperConnectionData listedRow(int32_t pid, uint64_t cookie, uint16_t port) {
    HelperConnectionData row{pid, "TCP6", "::ffff:10.0.0.2", port, "::ffff:10.0.0.9", 443, 4};
    row.bytesIn = row.bytesOut = 1;
    row.cookie = cookie;
    return row;
}

// "pid:cookie:in/out" for each ended row, then "other in/out".
std::string reported(EndedSocketLedger& ledger, EndedSocketsCursor& cursor) {
    HelperResponse response;
    ledger.report(cursor, response);
    std::string text;
    for (const HelperConnectionData& row : response.endedConnections) {
        text += std::to_string(row.pid) + ":" + std::to_string(*row.cookie) + ":" +
                std::to_string(*row.bytesIn) + "/" + std::to_string(*row.bytesOut) + " ";
    }
    if (response.unattributedTcpBytesIn) {
        text += "other " + std::to_string(*response.unattributedTcpBytesIn) + "/" +
                std::to_string(*response.unattributedTcpBytesOut);
    }
    return text;
}

TEST(EndedSocketLedgerTest, EachEndedSocketGoesOnceToEachClientUnderThePidThatHeldIt) {
    EndedSocketLedger ledger;
    // Cookie 3 had moved 10/15 before the listening began: only what it moved
    // since counts; cookie 13's counters were not known then: all of it counts.
    SocketInfo uncountedAtStart = destroyedSocket(13, 5009, 0, 0);
    uncountedAtStart.bytesReceived.reset();
    uncountedAtStart.bytesAcked.reset();
    ledger.listeningBegan({destroyedSocket(3, 5002, 10, 15), uncountedAtStart});
    EndedSocketsCursor first;
    EndedSocketsCursor second;
    EndedSocketsCursor third;
    EXPECT_EQ(reported(ledger, first) + reported(ledger, third), "") << "nothing on a first report";

    ledger.attribute({listedRow(7, 1, 5000), listedRow(8, 2, 5001)}, 10);
    EXPECT_EQ(reported(ledger, second), "");
    ledger.destroyed(destroyedSocket(1, 5000, 500, 1000), 11);
    ledger.destroyed(destroyedSocket(3, 5002, 30, 40), 11); // never listed
    ledger.destroyed(destroyedSocket(13, 5009, 30, 40), 11);
    ledger.destroyed(destroyedSocket(4, 5003, 9, 9, true), 11); // loopback both ends
    // Ended while a dump that began before it still listed it.
    ledger.destroyed(destroyedSocket(5, 5004, 60, 70), 12.5);
    // The same addresses and port as cookie 1, a new connection.
    ledger.attribute({listedRow(8, 2, 5001), listedRow(9, 5, 5004), listedRow(7, 6, 5000)}, 12);
    ledger.destroyed(destroyedSocket(6, 5000, 7, 8), 13);

    EXPECT_EQ(reported(ledger, first), "7:1:500/1000 9:5:60/70 7:6:7/8 other 50/65");
    EXPECT_EQ(reported(ledger, first), "other 0/0");
    EXPECT_EQ(reported(ledger, second), "7:1:500/1000 9:5:60/70 7:6:7/8 other 50/65");

    // Listings and ended rows are kept two minutes to the second; a socket that
    // ended after a dump began waits for the next; unknown counters add nothing.
    ledger.destroyed(destroyedSocket(12, 5008, 5, 5), 13.5);
    ledger.attribute({listedRow(7, 10, 5006)}, 13);
    SocketInfo uncounted = destroyedSocket(11, 5007, 0, 0);
    uncounted.bytesReceived.reset();
    uncounted.bytesAcked.reset();
    ledger.destroyed(uncounted, 14);
    ledger.attribute({}, 133);
    ledger.destroyed(destroyedSocket(10, 5006, 1, 2), 133);
    EXPECT_EQ(reported(ledger, third), "7:6:7/8 7:10:1/2 other 55/70");
}

} // namespace
} // namespace korvel
