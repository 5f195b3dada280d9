#include "platform/proc/address_text.h"

#include <arpa/inet.h>
#include <sys/socket.h>

namespace korvel::platform::proc {

std::string addressText(Family family, const std::array<uint8_t, 16>& address) {
    char text[INET6_ADDRSTRLEN];
    const int af = family == Family::inet ? AF_INET : AF_INET6;
    if (::inet_ntop(af, address.data(), text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

} // namespace korvel::platform::proc
