#include "platform/proc/proc_net_file.h"

#include "platform/proc/tcp_state.h"
#include "platform/system/text_file.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace korvel::platform::proc {
namespace {

constexpr int kLocal = 1;
constexpr int kRemote = 2;
constexpr int kState = 3;
constexpr int kInode = 9;

// "0100007F:1F90": the kernel prints each 32-bit word of the address as the
// number it is in memory, so copying the parsed words back in native order
// restores the network-order bytes on either endianness. The port is printed
// in host order.
bool parseEndpoint(std::string_view text, Family family, std::array<uint8_t, 16>& address,
                   uint16_t& port) {
    const size_t words = family == Family::inet ? 1 : 4;
    if (text.size() != words * 8 + 5 || text[words * 8] != ':') {
        return false;
    }
    for (size_t i = 0; i < words; ++i) {
        uint32_t word = 0;
        if (!parseWhole(text.substr(i * 8, 8), word, 16)) {
            return false;
        }
        std::memcpy(address.data() + i * 4, &word, sizeof word);
    }
    return parseWhole(text.substr(words * 8 + 1), port, 16);
}

bool parseLine(std::string_view line, Family family, Transport transport, SocketInfo& info) {
    info = SocketInfo{};
    info.family = family;
    info.transport = transport;
    size_t pos = 0;
    for (int field = 0; field <= kInode; ++field) {
        while (pos < line.size() && line[pos] == ' ') {
            ++pos;
        }
        size_t end = pos;
        while (end < line.size() && line[end] != ' ') {
            ++end;
        }
        if (end == pos) {
            return false;
        }
        const std::string_view token = line.substr(pos, end - pos);
        pos = end;
        bool ok = true;
        switch (field) {
        case kLocal:
            ok = parseEndpoint(token, family, info.localAddress, info.localPort);
            break;
        case kRemote:
            ok = parseEndpoint(token, family, info.remoteAddress, info.remotePort);
            break;
        case kState: {
            unsigned state = 0;
            ok = parseWhole(token, state, 16);
            info.tcpState = translateTcpState(state);
            break;
        }
        case kInode:
            ok = parseWhole(token, info.inode);
            break;
        default:
            break;
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

size_t parseProcNetTable(std::string_view text, Family family, Transport transport,
                         InetSocketTable& out) {
    size_t added = 0;
    SocketInfo info;
    while (!text.empty()) {
        const size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        if (parseLine(line, family, transport, info)) {
            out.add(info);
            ++added;
        }
    }
    return added;
}

std::optional<uint64_t> parseTcpOpens(std::string_view snmp) {
    // A line of names, then a line of values, each starting "Tcp:".
    std::string_view lines[2];
    size_t found = 0;
    while (!snmp.empty() && found < 2) {
        const size_t end = std::min(snmp.find('\n'), snmp.size());
        if (snmp.starts_with("Tcp:")) {
            lines[found++] = snmp.substr(0, end);
        }
        snmp.remove_prefix(std::min(end + 1, snmp.size()));
    }
    if (found < 2) {
        return std::nullopt;
    }
    uint64_t opens = 0;
    int counted = 0;
    while (!lines[0].empty() && !lines[1].empty()) {
        const auto field = [](std::string_view& line) {
            const size_t space = std::min(line.find(' '), line.size());
            const std::string_view word = line.substr(0, space);
            line.remove_prefix(std::min(space + 1, line.size()));
            return word;
        };
        const std::string_view name = field(lines[0]);
        const std::string_view value = field(lines[1]);
        if (name == "ActiveOpens" || name == "PassiveOpens") {
            uint64_t number = 0;
            if (!parseWhole(value, number)) {
                return std::nullopt;
            }
            opens += number;
            ++counted;
        }
    }
    return counted == 2 ? std::optional<uint64_t>(opens) : std::nullopt;
}

std::optional<InterfaceTotals> parseNetDevTotals(std::string_view text) {
    // "  eth0: rx_bytes rx_packets … (8 receive fields) tx_bytes …"
    constexpr int kTransmitBytes = 8;
    std::optional<InterfaceTotals> totals;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue; // the two header lines
        }
        std::string_view name = line.substr(0, colon);
        name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
        line.remove_prefix(colon + 1);
        uint64_t fields[kTransmitBytes + 1] = {};
        int parsed = 0;
        for (; parsed <= kTransmitBytes; ++parsed) {
            line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
            const auto [next, ec] =
                std::from_chars(line.data(), line.data() + line.size(), fields[parsed]);
            if (ec != std::errc()) {
                break;
            }
            line.remove_prefix(static_cast<size_t>(next - line.data()));
        }
        if (parsed <= kTransmitBytes) {
            continue;
        }
        if (!totals) {
            totals.emplace();
        }
        if (!name.starts_with("lo")) {
            totals->bytesIn += fields[0];
            totals->bytesOut += fields[kTransmitBytes];
        }
    }
    return totals;
}

} // namespace korvel::platform::proc
