#include "shared/meter_reply.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <iterator>
#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace korvel {
namespace {

using nlohmann::json;

template <typename Number> bool readNumber(const json& row, const char* key, Number& out) {
    const auto found = row.find(key);
    if (found == row.end() || !found->is_number_unsigned()) {
        return false;
    }
    const uint64_t value = found->get<uint64_t>();
    if (value > static_cast<uint64_t>(std::numeric_limits<Number>::max())) {
        return false;
    }
    out = static_cast<Number>(value);
    return true;
}

bool readText(const json& row, const char* key, std::string& out) {
    const auto found = row.find(key);
    if (found == row.end() || !found->is_string()) {
        return false;
    }
    out = found->get<std::string>();
    return true;
}

std::optional<MeterSocket> socketFrom(const json& row) {
    MeterSocket s;
    const auto ended = row.find("ended");
    if (!row.is_object() || !readNumber(row, "cookie", s.cookie) ||
        !readNumber(row, "pid", s.pid) || !readNumber(row, "uid", s.uid) ||
        !readText(row, "proto", s.proto) || !readText(row, "localAddr", s.localAddr) ||
        !readNumber(row, "localPort", s.localPort) || !readText(row, "remoteAddr", s.remoteAddr) ||
        !readNumber(row, "remotePort", s.remotePort) || !readNumber(row, "bytesIn", s.bytesIn) ||
        !readNumber(row, "bytesOut", s.bytesOut) || !readNumber(row, "packetsIn", s.packetsIn) ||
        !readNumber(row, "packetsOut", s.packetsOut) || ended == row.end() ||
        !ended->is_boolean()) {
        return std::nullopt;
    }
    s.ended = ended->get<bool>();
    return s;
}

} // namespace

std::string meterSocketPath() {
    const char* path = std::getenv("KORVEL_METER_SOCKET");
    return path != nullptr && *path != '\0' ? path : kMeterSocketPath;
}

std::string encodeMeterReply(const MeterReply& reply) {
    json rows = json::array();
    for (const MeterSocket& s : reply.sockets) {
        rows.push_back({{"cookie", s.cookie},
                        {"pid", s.pid},
                        {"uid", s.uid},
                        {"proto", s.proto},
                        {"localAddr", s.localAddr},
                        {"localPort", s.localPort},
                        {"remoteAddr", s.remoteAddr},
                        {"remotePort", s.remotePort},
                        {"bytesIn", s.bytesIn},
                        {"bytesOut", s.bytesOut},
                        {"packetsIn", s.packetsIn},
                        {"packetsOut", s.packetsOut},
                        {"ended", s.ended}});
    }
    return json{{"sockets", std::move(rows)},
                {"lost", reply.lost},
                {"full", reply.full},
                {"gone", reply.gone}}
        .dump();
}

std::optional<MeterReply> decodeMeterReply(std::string_view text) {
    const json document = json::parse(text, nullptr, false);
    if (!document.is_object()) {
        return std::nullopt;
    }
    const auto sockets = document.find("sockets");
    MeterReply reply;
    if (sockets == document.end() || !sockets->is_array() ||
        !readNumber(document, "lost", reply.lost)) {
        return std::nullopt;
    }
    for (const json& row : *sockets) {
        if (auto socket = socketFrom(row)) {
            reply.sockets.push_back(std::move(*socket));
        }
    }
    const auto full = document.find("full");
    const auto gone = document.find("gone");
    if (full == document.end() || !full->is_boolean() || gone == document.end() ||
        !gone->is_array()) {
        return std::nullopt; // a meter of another version: its replies cannot be merged
    }
    reply.full = full->get<bool>();
    for (const json& cookie : *gone) {
        if (cookie.is_number_unsigned()) {
            reply.gone.push_back(cookie.get<uint64_t>());
        }
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
