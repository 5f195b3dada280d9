#include "platform/proc/address_text.h"
#include "platform/proc/inet_socket_table.h"
#include "platform/proc/proc_net_file.h"
#include "platform/proc/sock_diag.h"
#include "platform/proc/stat_line.h"
#include "platform/proc/tcp_state.h"
#include "tests/support/proc_fixture.h"
#include "tests/support/sock_diag_messages.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <tuple>

namespace korvel::platform::proc {
namespace {

using testing::DumpBuffer;
using testing::statLine;
using testing::tcpInfoAttribute;

// One line per socket, so a whole record is checked at once.
std::string describe(const SocketInfo* s) {
    if (s == nullptr) {
        return "none";
    }
    return std::string(s->transport == Transport::tcp ? "tcp" : "udp") +
           (s->family == Family::inet ? "4 " : "6 ") + addressText(s->family, s->localAddress) +
           " " + std::to_string(s->localPort) + " > " + addressText(s->family, s->remoteAddress) +
           " " + std::to_string(s->remotePort) +
           (s->transport == Transport::tcp ? " state " + std::to_string(s->tcpState) : "") +
           (s->bytesReceived ? " in " + std::to_string(*s->bytesReceived) : "") +
           (s->bytesAcked ? " out " + std::to_string(*s->bytesAcked) : "") +
           (s->cookie ? " cookie " + std::to_string(*s->cookie) : "");
}

TEST(StatLineTest, FieldsCountFromTheLastParenthesisAndCutLinesAreRejected) {
    // A task may call itself anything but NUL: spaces, parentheses, a newline.
    for (const std::string comm : {"a) S 9 9 9 (b", "(sd-pam)", "x)\n) R 1", "", "two words"}) {
        const std::string text = statLine(4242, {comm, 77, 0x400040, 250, 125, 8192000, 321});
        const auto line = parseStatLine(text); // comm points into text
        ASSERT_TRUE(line) << comm;
        EXPECT_EQ(std::tie(line->comm, line->ppid, line->flags, line->utimeTicks, line->stimeTicks,
                           line->vsizeBytes, line->rssPages),
                  std::make_tuple(std::string_view(comm), 77, uint64_t{0x400040}, uint64_t{250},
                                  uint64_t{125}, uint64_t{8192000}, uint64_t{321}));
    }

    // No parentheses, no rss, a word or a negative where a count belongs.
    for (const char* bad :
         {"", "10 x S 1 1", "10 (x) S 1 1 1 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 1 3\n",
          "10 (x) S 1 1 1 0 -1 abc 0 0 0 0 1 2 0 0 20 0 1 0 1 3 4\n",
          "10 (x) S 1 1 1 0 -1 0 0 0 0 0 -5 2 0 0 20 0 1 0 1 3 4\n"}) {
        EXPECT_FALSE(parseStatLine(bad)) << bad;
    }
    // The shortest line that still carries rss.
    const auto shortest = parseStatLine("10 (x) S 1 1 1 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 1 3 4");
    ASSERT_TRUE(shortest);
    EXPECT_EQ(std::tie(shortest->startTimeTicks, shortest->vsizeBytes, shortest->rssPages),
              std::make_tuple(uint64_t{1}, uint64_t{3}, uint64_t{4}));
}

TEST(TcpStateTest, EveryLinuxStateMapsToTheReplyNumbering) {
    // By kernel state: none, established, syn-sent, syn-recv, fin-wait-1, fin-wait-2,
    // time-wait, close, close-wait, last-ack, listen, closing, and new-syn-recv (a
    // request socket, so a half-open connection).
    const int32_t reply[] = {0, 4, 2, 3, 6, 9, 10, 0, 5, 8, 1, 7, 3};
    for (unsigned state = 0; state < std::size(reply); ++state) {
        EXPECT_EQ(translateTcpState(state), reply[state]) << state;
    }
    EXPECT_EQ(translateTcpState(99), 0);
}

TEST(ProcNetTableTest, LinesBecomeSocketsWithNetworkOrderAddressesAndHostOrderPorts) {
    const std::string tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 "
        "5001 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0100007F:C350 0200007F:01BB 01 00000000:00000000 00:00000000 00000000  1000 0 "
        "5002 1 0000000000000000 100 0 0 10 0\n"
        "   2: garbage\n"
        "   3: 0100007F:ZZZZ 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 5003\n"
        "   4: 0100007F:0050 00000000:0000 06 00000000:00000000 00:00000000 00000000 0 0 0\n";
    InetSocketTable table;
    EXPECT_EQ(parseProcNetTable(tcp, Family::inet, Transport::tcp, table), 3u);
    table.index();
    EXPECT_EQ(describe(table.find(5001)), "tcp4 127.0.0.1 8080 > 0.0.0.0 0 state 1");
    EXPECT_EQ(describe(table.find(5002)), "tcp4 127.0.0.1 50000 > 127.0.0.2 443 state 4");
    EXPECT_EQ(table.find(5003), nullptr);
    EXPECT_EQ(table.find(0), nullptr) << "inode 0 is a time-wait socket nobody holds";

    const std::string udp6 = "  sl  local_address remote_address st\n"
                             "  9: " +
                             testing::tableEndpoint(testing::mappedV4(10, 1, 2, 3), 5353) + " " +
                             testing::tableEndpoint(testing::v6Loopback(), 53) +
                             " 01 00000000:00000000 00:00000000 00000000 0 0 7001 2 0 0\n";
    InetSocketTable six;
    EXPECT_EQ(parseProcNetTable(udp6, Family::inet6, Transport::udp, six), 1u);
    six.index();
    EXPECT_EQ(describe(six.find(7001)), "udp6 ::ffff:10.1.2.3 5353 > ::1 53");
    // An IPv4 line read as an IPv6 table does not fit and is dropped.
    InetSocketTable wrong;
    EXPECT_EQ(parseProcNetTable(tcp, Family::inet6, Transport::tcp, wrong), 0u);

    const std::string snmp = "Ip: Forwarding DefaultTTL\nIp: 1 64\n"
                             "Tcp: RtoAlgorithm MaxConn ActiveOpens PassiveOpens AttemptFails\n"
                             "Tcp: 1 -1 1234 56 7\nUdp: InDatagrams\nUdp: 99\n";
    EXPECT_EQ(parseTcpOpens(snmp), 1290u);
    EXPECT_EQ(parseTcpOpens(snmp.substr(0, snmp.find("Tcp: 1 "))), std::nullopt);
    EXPECT_EQ(parseTcpOpens("Tcp: ActiveOpens\nTcp: 5\n"), std::nullopt) << "one of two";
}

DumpStatus parse(const std::string& bytes, uint32_t seq, InetSocketTable& table) {
    return parseSockDiagMessages(bytes.data(), bytes.size(), seq, Transport::tcp, table);
}

TEST(SockDiagParserTest, DumpMessagesBecomeSocketsUntilTheEndMessage) {
    const std::array<uint8_t, 16> v4Local{192, 168, 1, 20};
    const std::array<uint8_t, 16> v4Remote{93, 184, 216, 34};
    DumpBuffer buffer;
    // Attributes other than tcp_info come first and are stepped over.
    rtattr other{};
    other.rta_type = INET_DIAG_SHUTDOWN;
    other.rta_len = RTA_LENGTH(1);
    const std::string shutdown =
        std::string(reinterpret_cast<const char*>(&other), sizeof other) + std::string(4, '\0');
    buffer.socket(7, AF_INET, 1, {0xC3, 0x50}, {0x01, 0xBB}, v4Local, v4Remote, 9001,
                  shutdown + tcpInfoAttribute(5'000'000'000, 42));
    buffer.socket(6, AF_INET, 10, {0, 80}, {0, 0}, v4Local, {}, 9002); // another dump's
    // The older request format answers with its own message type; an older
    // kernel's tcp_info ends before the counters.
    buffer.socket(7, AF_INET6, 10, {0x1F, 0x90}, {0, 0}, testing::v6Loopback(), {}, 9003,
                  tcpInfoAttribute(1, 2, offsetof(tcp_info, tcpi_bytes_acked)), TCPDIAG_GETSOCK);
    buffer.socket(7, AF_UNIX, 1, {0, 1}, {0, 1}, {}, {}, 9004);
    // An attribute that claims more than the message holds gives no counters.
    buffer.socket(7, AF_INET, 1, {0, 1}, {0, 2}, v4Local, v4Remote, 9005,
                  tcpInfoAttribute(3, 4).substr(0, 60));
    InetSocketTable table;
    EXPECT_EQ(parse(buffer.bytes(), 7, table), DumpStatus::more);
    buffer.done(7);
    InetSocketTable finished;
    EXPECT_EQ(parse(buffer.bytes(), 7, finished), DumpStatus::done);
    finished.index();
    EXPECT_EQ(finished.size(), 3u);
    // Ports travel in network order: 443 as the bytes 0x01 0xBB.
    EXPECT_EQ(describe(finished.find(9001)),
              "tcp4 192.168.1.20 50000 > 93.184.216.34 443 state 4 in 42 out 4999999999 cookie "
              "8589943593");
    EXPECT_EQ(describe(finished.find(9003)), "tcp6 ::1 8080 > :: 0 state 1 cookie 8589943595");
    EXPECT_EQ(finished.find(9003)->uid, 9004u);
    EXPECT_EQ(describe(finished.find(9005)),
              "tcp4 192.168.1.20 1 > 93.184.216.34 2 state 4 cookie 8589943597");
    EXPECT_EQ(finished.find(9002), nullptr);
    EXPECT_EQ(finished.find(9004), nullptr);

    DumpBuffer refused;
    refused.error(3);
    EXPECT_EQ(parse(refused.bytes(), 3, table), DumpStatus::refused);
    // A message that claims more bytes than the buffer holds, or a stray tail.
    EXPECT_EQ(parse(buffer.bytes().substr(0, buffer.bytes().size() - 30), 7, table),
              DumpStatus::malformed);
    EXPECT_EQ(parse(buffer.bytes() + std::string(5, '\0'), 99, table), DumpStatus::malformed);

    // A destroy event: sequence 0, no inode, the final counters.
    DumpBuffer ended;
    ended.socket(0, AF_INET6, 7, {0xC3, 0x50}, {0x01, 0xBB}, testing::mappedV4(10, 0, 0, 2),
                 testing::mappedV4(10, 0, 0, 9), 0, tcpInfoAttribute(100002, 100001));
    ended.done(0);
    std::vector<SocketInfo> sockets;
    EXPECT_TRUE(parseSocketDestroyMessages(ended.bytes().data(), ended.bytes().size(), sockets));
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_EQ(describe(&sockets[0]), "tcp6 ::ffff:10.0.0.2 50000 > ::ffff:10.0.0.9 443 state 0 in "
                                     "100001 out 100001 cookie 8589934592");
    EXPECT_FALSE(
        parseSocketDestroyMessages(ended.bytes().data(), ended.bytes().size() - 30, sockets));
}

TEST(AddressTextTest, AgreesWithTheLibcConversionOnZeroRichAddresses) {
    std::mt19937 random(20240611);
    std::array<uint8_t, 16> address{};
    char expected[INET6_ADDRSTRLEN];
    for (int round = 0; round < 200000; ++round) {
        // Mostly zero groups, so every run length and position comes up, and
        // the ffff group that marks mapped addresses.
        for (int group = 0; group < 8; ++group) {
            const unsigned pick = random() % 8;
            const uint16_t word = pick < 5 ? 0 : pick == 5 ? 0xffff : random() % 0x10000;
            address[2 * group] = static_cast<uint8_t>(word >> 8);
            address[2 * group + 1] = static_cast<uint8_t>(word);
        }
        ASSERT_NE(::inet_ntop(AF_INET6, address.data(), expected, sizeof expected), nullptr);
        ASSERT_EQ(addressText(Family::inet6, address), expected);
        ASSERT_NE(::inet_ntop(AF_INET, address.data(), expected, sizeof expected), nullptr);
        ASSERT_EQ(addressText(Family::inet, address), expected);
    }
}

} // namespace
} // namespace korvel::platform::proc
