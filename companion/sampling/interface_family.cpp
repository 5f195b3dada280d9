#include "companion/sampling/interface_family.h"

#include <array>
#include <utility>

namespace korvel {
namespace {

constexpr std::array<std::pair<std::string_view, InterfaceFamily>, 10> kFamilyPrefixes = {{
    {"en", InterfaceFamily::physical},
    {"eth", InterfaceFamily::physical},
    {"wl", InterfaceFamily::physical},
    {"wwan", InterfaceFamily::physical},
    {"utun", InterfaceFamily::tunnel},
    {"ipsec", InterfaceFamily::tunnel},
    {"ppp", InterfaceFamily::tunnel},
    {"tun", InterfaceFamily::tunnel},
    {"wg", InterfaceFamily::tunnel},
    {"tailscale", InterfaceFamily::tunnel},
}};

} // namespace

InterfaceFamily interfaceFamily(std::string_view name) {
    for (const auto& [prefix, family] : kFamilyPrefixes) {
        if (name.starts_with(prefix)) {
            return family;
        }
    }
    return InterfaceFamily::other;
}

} // namespace korvel
