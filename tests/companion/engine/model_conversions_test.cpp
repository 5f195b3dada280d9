#include "companion/engine/tcp_state.h"
#include "companion/engine/transport_proto.h"
#include "companion/engine/uuid.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace korvel {
namespace {

TEST(TCPStateTest, RawNumbersMapToBSDStatesAndEverythingElseIsUnknown) {
    EXPECT_EQ(tcpStateFromRaw(0), TCPState::closed);
    EXPECT_EQ(tcpStateFromRaw(4), TCPState::established);
    EXPECT_EQ(tcpStateFromRaw(9), TCPState::finWait2);
    EXPECT_EQ(tcpStateFromRaw(10), TCPState::timeWait);
    EXPECT_EQ(tcpStateFromRaw(-1), TCPState::unknown); // what the helper sends for UDP
    EXPECT_EQ(tcpStateFromRaw(11), TCPState::unknown);
    EXPECT_EQ(tcpStateFromRaw(2147483647), TCPState::unknown);
    EXPECT_EQ(tcpStateFromRaw(-2147483647 - 1), TCPState::unknown);
    EXPECT_EQ(rawValue(tcpStateFromRaw(-1)), "\xE2\x80\x94"); // one em dash, U+2014
}

TEST(TCPStateTest, RawValuesRoundTripAndParseExactly) {
    for (int32_t raw = 0; raw <= 11; ++raw) {
        const auto state = static_cast<TCPState>(raw);
        EXPECT_EQ(tcpStateFromRawValue(rawValue(state)), state) << raw;
    }
    EXPECT_EQ(rawValue(TCPState::synReceived), "SYN_RCVD");
    EXPECT_EQ(rawValue(TCPState::finWait1), "FIN_WAIT_1");
    EXPECT_EQ(tcpStateFromRawValue("established"), std::nullopt);
    EXPECT_EQ(tcpStateFromRawValue("ESTABLISHED "), std::nullopt);
    EXPECT_EQ(tcpStateFromRawValue(""), std::nullopt);
    EXPECT_EQ(tcpStateFromRawValue("-"), std::nullopt);
}

TEST(TransportProtoTest, HelperStringsMatchCaseSensitivelyWithTCPAsFallback) {
    EXPECT_EQ(transportProtoFromHelper("TCP"), TransportProto::tcp);
    EXPECT_EQ(transportProtoFromHelper("TCP6"), TransportProto::tcp6);
    EXPECT_EQ(transportProtoFromHelper("UDP"), TransportProto::udp);
    EXPECT_EQ(transportProtoFromHelper("UDP6"), TransportProto::udp6);
    EXPECT_EQ(transportProtoFromHelper("udp6"), TransportProto::tcp);
    EXPECT_EQ(transportProtoFromHelper("tcp"), TransportProto::tcp);
    EXPECT_EQ(transportProtoFromHelper(""), TransportProto::tcp);

    EXPECT_EQ(transportProtoFromRawValue("UDP6"), TransportProto::udp6);
    EXPECT_EQ(transportProtoFromRawValue("udp"), std::nullopt);
    EXPECT_EQ(transportProtoFromRawValue("SCTP"), std::nullopt);
    EXPECT_EQ(rawValue(TransportProto::tcp6), "TCP6");
}

TEST(ModelHashingTest, EnumerationsHashTheirRawString) {
    EXPECT_EQ(std::hash<TCPState>{}(TCPState::listen), std::hash<std::string_view>{}("LISTEN"));
    EXPECT_EQ(std::hash<TransportProto>{}(TransportProto::udp),
              std::hash<std::string_view>{}("UDP"));
    std::unordered_set<TCPState> states;
    for (int32_t raw = -1; raw <= 11; ++raw) {
        states.insert(tcpStateFromRaw(raw));
    }
    EXPECT_EQ(states.size(), 12u);
}

TEST(UuidTest, RandomUuidsAreVersion4DistinctAndFormatted) {
    std::unordered_set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid uuid = Uuid::random();
        EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes()[8] & 0xC0, 0x80);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_NE(Uuid::random(), Uuid{});

    const Uuid known({0x12, 0x3e, 0x45, 0x67, 0xe8, 0x9b, 0x42, 0xd3, 0xa4, 0x56, 0x42, 0x66, 0x14,
                      0x17, 0x40, 0x00});
    EXPECT_EQ(known.toString(), "123E4567-E89B-42D3-A456-426614174000");
}

} // namespace
} // namespace korvel
