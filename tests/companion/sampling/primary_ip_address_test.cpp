#include "companion/sampling/primary_ip_address.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

using platform::InterfaceAddress;

TEST(PrimaryIPAddressTest, IPv4FirstThenGlobalIPv6NeverLoopbackOrLinkLocal) {
    const std::vector<InterfaceAddress> addresses{
        {"en0", true, "fe80::1c2b:3aff:fe4d:5e6f%en0"},
        {"en0", false, "127.0.0.1"},
        {"en0", true, "::1"},
        {"wlan0", true, "2001:db8::7"},
        {"wlan0", false, std::nullopt}, // could not be converted to text
        {"wlan0", false, "198.51.100.4"},
        {"wlan0", false, "198.51.100.5"},
        {"wg0", true, "fe80::2%wg0"},
        {"wg0", true, "fd00::2"},
    };
    EXPECT_EQ(primaryIPAddress("en0", addresses), std::nullopt);
    EXPECT_EQ(primaryIPAddress("wlan", addresses), std::nullopt); // exact name only
    EXPECT_EQ(primaryIPAddress("wlan0", addresses), "198.51.100.4");
    EXPECT_EQ(primaryIPAddress("wg0", addresses), "fd00::2");
}

} // namespace
} // namespace korvel
