#include "platform/netpath/interface_kind.h"

#include "platform/system/text_file.h"

#include <filesystem>
#include <sstream>

namespace korvel::platform::netpath {
namespace {

constexpr unsigned long long kTypeEther = 1;      // ARPHRD_ETHER
constexpr unsigned long long kTypeLoopback = 772; // ARPHRD_LOOPBACK

bool entryExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error)) && !error;
}

bool hasDeviceType(const std::filesystem::path& uevent, const std::string& wanted) {
    const auto text = readTextFile(uevent.string());
    if (!text) {
        return false;
    }
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "DEVTYPE=" + wanted) {
            return true;
        }
    }
    return false;
}

} // namespace

InterfaceType interfaceTypeFromSysfs(const std::string& sysRoot, const std::string& name) {
    // A name that could leave the class directory is never looked up.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return InterfaceType::other;
    }
    const std::filesystem::path dir = std::filesystem::path(sysRoot) / "class" / "net" / name;
    const auto type = readUnsigned((dir / "type").string());
    if (type == kTypeLoopback || name == "lo") {
        return InterfaceType::loopback;
    }
    if (entryExists(dir / "wireless") || entryExists(dir / "phy80211") ||
        hasDeviceType(dir / "uevent", "wlan")) {
        return InterfaceType::wifi;
    }
    // Checked before Ethernet: many modems present an Ethernet-typed device.
    if (hasDeviceType(dir / "uevent", "wwan")) {
        return InterfaceType::cellular;
    }
    if (type == kTypeEther && entryExists(dir / "device")) {
        return InterfaceType::wiredEthernet;
    }
    return InterfaceType::other;
}

} // namespace korvel::platform::netpath
