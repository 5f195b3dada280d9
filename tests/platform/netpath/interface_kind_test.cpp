#include "platform/netpath/interface_kind.h"
#include "tests/platform/netpath/netlink_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace korvel::platform::netpath {
namespace {

TEST(InterfaceKind, FromSysfs) {
    testing::TempDir sys;
    const auto& root = sys.path();
    const auto add = [&](const std::string& name, int type, bool device) {
        return testing::addSysNet(root, name, type, device);
    };
    add("lo", 772, false);
    add("enp3s0", 1, true);
    std::filesystem::create_directories(add("wlp2s0", 1, true) / "wireless");
    std::filesystem::create_directory_symlink(root / "devices", add("wlan1", 1, true) / "phy80211");
    std::ofstream(add("wwan0", 1, true) / "uevent") << "INTERFACE=wwan0\nIFINDEX=7\nDEVTYPE=wwan\n";
    std::ofstream(add("br0", 1, false) / "uevent") << "DEVTYPE=bridge\nINTERFACE=br0\n";
    add("veth0", 1, false);
    add("wg0", 65534, false);

    const std::pair<const char*, InterfaceType> expected[] = {
        {"lo", InterfaceType::loopback},
        {"enp3s0", InterfaceType::wiredEthernet},
        {"wlp2s0", InterfaceType::wifi},
        {"wlan1", InterfaceType::wifi},
        {"wwan0", InterfaceType::cellular},
        // Ethernet-typed but virtual: not wired Ethernet.
        {"br0", InterfaceType::other},
        {"veth0", InterfaceType::other},
        {"wg0", InterfaceType::other},
        {"gone0", InterfaceType::other},
        // Names that would climb out of the class directory are not looked up.
        {"..", InterfaceType::other},
        {"../net/enp3s0", InterfaceType::other},
    };
    for (const auto& [name, type] : expected) {
        EXPECT_EQ(interfaceTypeFromSysfs(root, name), type) << name;
    }
}

} // namespace
} // namespace korvel::platform::netpath
