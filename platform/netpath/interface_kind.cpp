#include "platform/netpath/interface_kind.h"

#include "platform/system/text_file.h"

#include <algorithm>
#include <cstdlib>
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

std::string deviceType(const std::filesystem::path& uevent) {
    const auto text = readTextFile(uevent.string());
    if (!text) {
        return {};
    }
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("DEVTYPE=")) {
            return line.substr(8);
        }
    }
    return {};
}

bool isSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// ARPHRD_ values of layer-3 links: none (tun, WireGuard), PPP, IP-in-IP,
// IPv6-in-IPv6, SIT, GRE and IPv6 GRE.
constexpr unsigned long long kTunnelTypes[] = {65534, 512, 768, 769, 776, 778, 823};
constexpr unsigned long long kTunFlagTun = 0x0001; // IFF_TUN; IFF_TAP links carry frames

bool isTunnel(const std::filesystem::path& dir, std::optional<unsigned long long> type,
              const std::string& devtype) {
    if (devtype == "wireguard") {
        return true;
    }
    if (const auto text = readTextFile((dir / "tun_flags").string())) {
        return (std::strtoull(text->c_str(), nullptr, 16) & kTunFlagTun) != 0;
    }
    return type && std::ranges::find(kTunnelTypes, *type) != std::end(kTunnelTypes);
}

std::vector<std::string> upperDevices(const std::filesystem::path& dir) {
    std::vector<std::string> uppers;
    std::error_code error;
    const auto master = std::filesystem::read_symlink(dir / "master", error);
    if (!error) {
        uppers.push_back(master.filename().string());
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("upper_")) {
            uppers.push_back(name.substr(6));
        }
    }
    return uppers;
}

} // namespace

InterfaceType interfaceTypeFromSysfs(const std::string& sysRoot, const std::string& name) {
    // A name that could leave the class directory is never looked up.
    if (!isSafeName(name)) {
        return InterfaceType::other;
    }
    const std::filesystem::path dir = std::filesystem::path(sysRoot) / "class" / "net" / name;
    const auto type = readUnsigned((dir / "type").string());
    if (type == kTypeLoopback || name == "lo") {
        return InterfaceType::loopback;
    }
    if (entryExists(dir / "wireless") || entryExists(dir / "phy80211") ||
        deviceType(dir / "uevent") == "wlan") {
        return InterfaceType::wifi;
    }
    // Checked before Ethernet: many modems present an Ethernet-typed device.
    if (deviceType(dir / "uevent") == "wwan") {
        return InterfaceType::cellular;
    }
    if (type == kTypeEther && entryExists(dir / "device")) {
        return InterfaceType::wiredEthernet;
    }
    return InterfaceType::other;
}

LinkFacts linkFactsFromSysfs(const std::string& sysRoot, const std::string& name) {
    if (!isSafeName(name)) {
        return {};
    }
    const std::filesystem::path dir = std::filesystem::path(sysRoot) / "class" / "net" / name;
    const auto type = readUnsigned((dir / "type").string());
    if (!type) {
        return {};
    }
    LinkFacts facts{LinkKind::virtualLink, upperDevices(dir)};
    const std::string devtype = deviceType(dir / "uevent");
    switch (interfaceTypeFromSysfs(sysRoot, name)) {
    case InterfaceType::loopback:
        facts.kind = LinkKind::loopback;
        return facts;
    case InterfaceType::wifi:
    case InterfaceType::cellular:
    case InterfaceType::wiredEthernet:
        facts.kind = LinkKind::hardware;
        return facts;
    case InterfaceType::other:
        break;
    }
    if (entryExists(dir / "bridge") || devtype == "bridge") {
        facts.kind = LinkKind::bridge;
    } else if (entryExists(dir / "bonding") || devtype == "bond") {
        facts.kind = LinkKind::bond;
    } else if (devtype == "vlan") {
        facts.kind = LinkKind::vlan;
    } else if (isTunnel(dir, type, devtype)) {
        facts.kind = LinkKind::tunnel;
    }
    return facts;
}

} // namespace korvel::platform::netpath
