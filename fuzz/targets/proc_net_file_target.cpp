#include "fuzz/fuzz_targets.h"
#include "platform/proc/proc_net_file.h"

namespace korvel::fuzz {

// The first byte picks the table: bit 0 the family, bit 1 the transport.
std::string procNetFile(std::string_view input) {
    if (input.empty()) {
        return {};
    }
    using namespace platform::proc;
    const auto control = static_cast<unsigned char>(input[0]);
    const Family family = control & 1 ? Family::inet6 : Family::inet;
    const Transport transport = control & 2 ? Transport::udp : Transport::tcp;
    InetSocketTable table;
    const size_t added = parseProcNetTable(input.substr(1), family, transport, table);
    if (added != table.size()) {
        return "the count differs from the sockets added";
    }
    table.index();
    for (const auto& socket : table.records()) {
        if (socket.family != family || socket.transport != transport) {
            return "a socket was filed under another table";
        }
        // Sockets without an inode (time-wait) are kept but never looked up.
        if (socket.inode != 0 && table.find(socket.inode) == nullptr) {
            return "an added socket cannot be found";
        }
    }
    return {};
}

} // namespace korvel::fuzz
