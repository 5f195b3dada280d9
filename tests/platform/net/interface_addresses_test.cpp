#include "platform/net/interface_addresses.h"

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

TEST(InterfaceAddressesTest, LiveListHoldsNumericAddressesWithTheirFamily) {
    const auto addresses = listInterfaceAddresses();
    ASSERT_TRUE(addresses);
    bool sawLoopbackV4 = false;
    for (const auto& address : *addresses) {
        EXPECT_FALSE(address.interfaceName.empty());
        if (!address.numericHost) {
            continue;
        }
        EXPECT_EQ(address.isIPv6, address.numericHost->find(':') != std::string::npos)
            << *address.numericHost;
        if (address.interfaceName == "lo" && *address.numericHost == "127.0.0.1") {
            sawLoopbackV4 = true;
        }
    }
    if (addresses->empty()) {
        GTEST_SKIP() << "no interface has an address here";
    }
    EXPECT_TRUE(sawLoopbackV4);
}

} // namespace
} // namespace korvel::platform
