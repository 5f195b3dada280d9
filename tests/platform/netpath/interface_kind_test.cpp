#include "platform/netpath/interface_kind.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace korvel::platform::netpath {
namespace {

namespace fs = std::filesystem;

TEST(InterfaceKind, FromSysfs) {
    const fs::path root = fs::temp_directory_path() / "korvel-interface-kind";
    fs::remove_all(root);
    const auto add = [&](const std::string& name, int type, bool device) {
        const auto dir = root / "class" / "net" / name;
        fs::create_directories(dir);
        std::ofstream(dir / "type") << type << "\n";
        if (device) {
            fs::create_directories(root / "devices" / name);
            fs::create_directory_symlink(root / "devices" / name, dir / "device");
        }
        return dir;
    };
    add("lo", 772, false);
    add("enp3s0", 1, true);
    fs::create_directories(add("wlp2s0", 1, true) / "wireless");
    const auto phy = add("wlan1", 1, true);
    fs::create_directory_symlink(root / "devices", phy / "phy80211");
    std::ofstream(add("wwan0", 1, true) / "uevent") << "INTERFACE=wwan0\nIFINDEX=7\nDEVTYPE=wwan\n";
    std::ofstream(add("br0", 1, false) / "uevent") << "DEVTYPE=bridge\nINTERFACE=br0\n";
    add("veth0", 1, false);
    add("wg0", 65534, false);

    EXPECT_EQ(interfaceTypeFromSysfs(root, "lo"), InterfaceType::loopback);
    EXPECT_EQ(interfaceTypeFromSysfs(root, "enp3s0"), InterfaceType::wiredEthernet);
    EXPECT_EQ(interfaceTypeFromSysfs(root, "wlp2s0"), InterfaceType::wifi);
    EXPECT_EQ(interfaceTypeFromSysfs(root, "wlan1"), InterfaceType::wifi);
    EXPECT_EQ(interfaceTypeFromSysfs(root, "wwan0"), InterfaceType::cellular);
    // Ethernet-typed but virtual: not wired Ethernet.
    EXPECT_EQ(interfaceTypeFromSysfs(root, "br0"), InterfaceType::other);
    EXPECT_EQ(interfaceTypeFromSysfs(root, "veth0"), InterfaceType::other);
    EXPECT_EQ(interfaceTypeFromSysfs(root, "wg0"), InterfaceType::other);
    EXPECT_EQ(interfaceTypeFromSysfs(root, "gone0"), InterfaceType::other);
    // Names that would climb out of the class directory are not looked up.
    EXPECT_EQ(interfaceTypeFromSysfs(root, ".."), InterfaceType::other);
    EXPECT_EQ(interfaceTypeFromSysfs(root, "../net/enp3s0"), InterfaceType::other);
    fs::remove_all(root);
}

} // namespace
} // namespace korvel::platform::netpath
