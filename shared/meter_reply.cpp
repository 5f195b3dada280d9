#include "shared/meter_reply.h"

#include "shared/strict_json_reader.h"
#include "shared/strict_json_writer.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <unordered_map>
#include <unordered_set>

namespace korvel {
namespace {

using strict_json::Number;
using strict_json::Reader;

// Read and written without a JSON tree: an idle machine's first reply to a
// helper holds every open socket, tens of thousands on a busy one.
constexpr int kRowDepth = 3;
constexpr std::string_view kMembers[] = {
    "cookie",     "pid",     "uid",      "proto",     "localAddr",  "localPort", "remoteAddr",
    "remotePort", "bytesIn", "bytesOut", "packetsIn", "packetsOut", "ended"};
constexpr unsigned kEveryMember = (1u << std::size(kMembers)) - 1;

template <typename Integer> bool readInteger(Reader& r, Integer& out, int depth) {
    Number n;
    return r.number(n, depth) && n.kind == Number::Kind::unsignedInteger &&
           strict_json::integerFrom(n, out);
}

bool readMember(Reader& r, size_t member, MeterSocket& s) {
    switch (member) {
    case 0:
        return readInteger(r, s.cookie, kRowDepth);
    case 1:
        return readInteger(r, s.pid, kRowDepth);
    case 2:
        return readInteger(r, s.uid, kRowDepth);
    case 3:
        return r.string(s.proto, kRowDepth);
    case 4:
        return r.string(s.localAddr, kRowDepth);
    case 5:
        return readInteger(r, s.localPort, kRowDepth);
    case 6:
        return r.string(s.remoteAddr, kRowDepth);
    case 7:
        return readInteger(r, s.remotePort, kRowDepth);
    case 8:
        return readInteger(r, s.bytesIn, kRowDepth);
    case 9:
        return readInteger(r, s.bytesOut, kRowDepth);
    case 10:
        return readInteger(r, s.packetsIn, kRowDepth);
    case 11:
        return readInteger(r, s.packetsOut, kRowDepth);
    case 12:
        return r.boolean(s.ended, kRowDepth);
    }
    r.skip(kRowDepth);
    return true; // a member of a later meter's, not ours to read
}

// One row; false (the row still read) when a member is missing or of the
// wrong shape.
bool readSocket(Reader& r, MeterSocket& s) {
    if (r.peek() != '{') {
        r.skip(kRowDepth - 1);
        return false;
    }
    unsigned seen = 0;
    bool valid = true;
    r.object(
        [&](std::string_view key) {
            const auto member = static_cast<size_t>(
                std::find(std::begin(kMembers), std::end(kMembers), key) - std::begin(kMembers));
            valid = readMember(r, member, s) && valid;
            seen |= member < std::size(kMembers) ? 1u << member : 0;
        },
        kRowDepth - 1);
    return valid && seen == kEveryMember;
}

void writeSocket(strict_json::Writer& w, const MeterSocket& s) {
    const auto number = [&](std::string_view key, auto value) {
        w.key(key);
        w.integer(value);
        w.raw(",");
    };
    const auto text = [&](std::string_view key, const std::string& value) {
        w.key(key);
        w.string(value);
        w.raw(",");
    };
    w.raw("{");
    number(kMembers[0], s.cookie);
    number(kMembers[1], s.pid);
    number(kMembers[2], s.uid);
    text(kMembers[3], s.proto);
    text(kMembers[4], s.localAddr);
    number(kMembers[5], s.localPort);
    text(kMembers[6], s.remoteAddr);
    number(kMembers[7], s.remotePort);
    number(kMembers[8], s.bytesIn);
    number(kMembers[9], s.bytesOut);
    number(kMembers[10], s.packetsIn);
    number(kMembers[11], s.packetsOut);
    w.key(kMembers[12]);
    w.raw(s.ended ? "true}" : "false}");
}

} // namespace

std::string meterSocketPath() {
    const char* path = std::getenv("KORVEL_METER_SOCKET");
    return path != nullptr && *path != '\0' ? path : kMeterSocketPath;
}

std::string encodeMeterReply(const MeterReply& reply) {
    strict_json::Writer w(64 + reply.sockets.size() * 240 + reply.gone.size() * 21);
    w.raw("{\"sockets\":[");
    for (size_t i = 0; i < reply.sockets.size(); ++i) {
        w.raw(i == 0 ? "" : ",");
        writeSocket(w, reply.sockets[i]);
    }
    w.raw("],\"lost\":");
    w.integer(reply.lost);
    w.raw(reply.full ? ",\"full\":true,\"gone\":[" : ",\"full\":false,\"gone\":[");
    for (size_t i = 0; i < reply.gone.size(); ++i) {
        w.raw(i == 0 ? "" : ",");
        w.integer(reply.gone[i]);
    }
    w.raw("]}");
    return w.take();
}

std::optional<MeterReply> decodeMeterReply(std::string_view text) {
    MeterReply reply;
    // Which members were read, each of its own type.
    bool sawSockets = false, sawLost = false, sawFull = false, sawGone = false;
    try {
        Reader r(text);
        if (r.peek() != '{') {
            return std::nullopt;
        }
        r.object(
            [&](std::string_view key) {
                if (key == "sockets" && r.peek() == '[') {
                    sawSockets = true;
                    r.array(
                        [&] {
                            MeterSocket s;
                            if (readSocket(r, s)) {
                                reply.sockets.push_back(std::move(s));
                            }
                        },
                        1);
                } else if (key == "lost") {
                    sawLost = readInteger(r, reply.lost, 1);
                } else if (key == "full") {
                    sawFull = r.boolean(reply.full, 1);
                } else if (key == "gone" && r.peek() == '[') {
                    sawGone = true;
                    r.array(
                        [&] {
                            uint64_t cookie = 0;
                            if (readInteger(r, cookie, 2)) {
                                reply.gone.push_back(cookie);
                            }
                        },
                        1);
                } else {
                    r.skip(1);
                }
            },
            0);
        if (!r.finished()) {
            return std::nullopt;
        }
    } catch (const strict_json::SyntaxError&) {
        return std::nullopt;
    }
    // Without full and gone it is a meter of another version: its replies cannot be merged.
    if (!sawSockets || !sawLost || !sawFull || !sawGone) {
        return std::nullopt;
    }
    return reply;
}

MeterReply MeterSocketsTold::apply(MeterReply reply) {
    std::unordered_map<uint64_t, size_t> at;
    if (reply.full) {
        open_.clear();
    } else {
        std::unordered_set<uint64_t> gone(reply.gone.begin(), reply.gone.end());
        for (const MeterSocket& s : reply.sockets) {
            if (s.ended) {
                gone.insert(s.cookie);
            }
        }
        std::erase_if(open_, [&](const MeterSocket& s) { return gone.contains(s.cookie); });
        for (size_t i = 0; i < open_.size(); ++i) {
            at.emplace(open_[i].cookie, i);
        }
    }
    std::vector<MeterSocket> ended;
    for (MeterSocket& s : reply.sockets) {
        if (s.ended) {
            ended.push_back(std::move(s));
        } else if (const auto found = at.find(s.cookie); found != at.end()) {
            open_[found->second] = std::move(s);
        } else {
            at.emplace(s.cookie, open_.size());
            open_.push_back(std::move(s));
        }
    }
    reply.sockets = open_;
    reply.sockets.insert(reply.sockets.end(), std::make_move_iterator(ended.begin()),
                         std::make_move_iterator(ended.end()));
    reply.full = true;
    reply.gone.clear();
    return reply;
}

} // namespace korvel
