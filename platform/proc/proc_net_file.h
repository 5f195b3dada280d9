#pragma once

#include "platform/proc/inet_socket_table.h"

#include <string_view>

namespace korvel::platform::proc {

// Adds the sockets of one /proc/net/{tcp,tcp6,udp,udp6} text to the table.
// The header and any line that does not parse are skipped. Returns the number
// of sockets added.
size_t parseProcNetTable(std::string_view text, Family family, Transport transport,
                         InetSocketTable& out);

} // namespace korvel::platform::proc
