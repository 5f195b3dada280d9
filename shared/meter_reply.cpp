#include "shared/meter_reply.h"

#include "shared/strict_json_reader.h"
#include "shared/strict_json_writer.h"

#include <cstdlib>
#include <iterator>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

namespace korvel {
namespace {

using strict_json::Number;
using strict_json::Reader;

// Read and written without a JSON tree: an idle machine's first reply to a
// helper holds every open socket, tens of thousands on a busy one.
constexpr int kRowDepth = 3;

// Every member of a row, in the order they are written: visit(name, field).
template <typename Socket, typename Visit> void forEachMember(Socket& s, Visit&& visit) {
    visit("cookie", s.cookie);
    visit("pid", s.pid);
    visit("uid", s.uid);
    visit("proto", s.proto);
    visit("localAddr", s.localAddr);
    visit("localPort", s.localPort);
    visit("remoteAddr", s.remoteAddr);
    visit("remotePort", s.remotePort);
    visit("bytesIn", s.bytesIn);
    visit("bytesOut", s.bytesOut);
    visit("packetsIn", s.packetsIn);
    visit("packetsOut", s.packetsOut);
    visit("ended", s.ended);
}

// One bit a member, in forEachMember's order.
const unsigned kEveryMember = [] {
    MeterSocket s;
    unsigned every = 0;
    forEachMember(s, [&](std::string_view, const auto&) { every = every << 1 | 1; });
    return every;
}();

template <typename Integer> bool readInteger(Reader& r, Integer& out, int depth) {
    Number n;
    return r.number(n, depth) && n.kind == Number::Kind::unsignedInteger &&
           strict_json::integerFrom(n, out);
}

template <typename Value> bool readValue(Reader& r, Value& out) {
    if constexpr (std::is_same_v<Value, bool>) {
        return r.boolean(out, kRowDepth);
    } else if constexpr (std::is_same_v<Value, std::string>) {
        return r.string(out, kRowDepth);
    } else {
        return readInteger(r, out, kRowDepth);
    }
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
            bool known = false;
            unsigned bit = 1;
            forEachMember(s, [&](std::string_view name, auto& value) {
                if (name == key) {
                    known = true;
                    valid = readValue(r, value) && valid;
                    seen |= bit;
                }
                bit <<= 1;
            });
            if (!known) {
                r.skip(kRowDepth); // a member of a later meter's, not ours to read
            }
        },
        kRowDepth - 1);
    return valid && seen == kEveryMember;
}

void writeSocket(strict_json::Writer& w, const MeterSocket& s) {
    std::string_view before = "{";
    forEachMember(s, [&](std::string_view name, const auto& value) {
        w.raw(before);
        before = ",";
        w.key(name);
        using Value = std::remove_cvref_t<decltype(value)>;
        if constexpr (std::is_same_v<Value, bool>) {
            w.raw(value ? "true" : "false");
        } else if constexpr (std::is_same_v<Value, std::string>) {
            w.string(value);
        } else {
            w.integer(value);
        }
    });
    w.raw("}");
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
