#pragma once

#include "platform/proc/inet_socket_table.h"

#include <array>
#include <cstdint>
#include <string>

namespace korvel::platform::proc {

// The numeric text of an address, exactly as inet_ntop writes it: dotted quad
// for IPv4 (the first four bytes), compressed hex groups for IPv6.
std::string addressText(Family family, const std::array<uint8_t, 16>& address);

} // namespace korvel::platform::proc
