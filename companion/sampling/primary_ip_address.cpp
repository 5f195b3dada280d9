#include "companion/sampling/primary_ip_address.h"

namespace korvel {

std::optional<std::string> primaryIPAddress(std::string_view interfaceName) {
    const auto addresses = platform::listInterfaceAddresses();
    if (!addresses) {
        return std::nullopt;
    }
    return primaryIPAddress(interfaceName, *addresses);
}

std::optional<std::string>
primaryIPAddress(std::string_view interfaceName,
                 const std::vector<platform::InterfaceAddress>& addresses) {
    // The kernel lists IPv4 before IPv6; asking for it keeps that independent of the C library.
    for (const bool wantIPv6 : {false, true}) {
        for (const auto& address : addresses) {
            if (address.interfaceName != interfaceName || address.isIPv6 != wantIPv6 ||
                !address.numericHost) {
                continue;
            }
            const std::string& text = *address.numericHost;
            if (text == "::1" || text == "127.0.0.1" || text.starts_with("fe80:")) {
                continue;
            }
            return text;
        }
    }
    return std::nullopt;
}

} // namespace korvel
