#include "helper/ended_sockets.h"

#include "helper/socket_table.h"

#include <algorithm>

namespace korvel {

void EndedSocketLedger::end(HelperConnectionData row, int32_t pid, double now) {
    row.pid = pid;
    ended_.push_back({nextSequence_++, now, std::move(row)});
    while (ended_.size() > kMostRows ||
           (!ended_.empty() && now - ended_.front().endedAt > kKeepSeconds)) {
        ended_.pop_front();
    }
}

void EndedSocketLedger::attributeWatched(const std::vector<HelperConnectionData>& rows,
                                         double dumpedAt) {
    for (const HelperConnectionData& row : rows) {
        if (!row.cookie) {
            continue;
        }
        if (const auto gone = unlisted_.find(*row.cookie); gone != unlisted_.end()) {
            end(std::move(gone->second.row), row.pid, gone->second.destroyedAt);
            unlisted_.erase(gone);
            continue;
        }
        listed_.insert_or_assign(*row.cookie, std::pair{row.pid, dumpedAt});
    }
}

void EndedSocketLedger::attribute(const std::vector<HelperConnectionData>& rows, double dumpedAt) {
    attributeWatched(rows, dumpedAt);
    // Ended before this dump began and listed by no dump before it: nobody
    // will ever list them.
    std::erase_if(unlisted_, [&](const auto& entry) {
        if (entry.second.destroyedAt >= dumpedAt) {
            return false;
        }
        uint64_t in = entry.second.row.bytesIn.value_or(0);
        uint64_t out = entry.second.row.bytesOut.value_or(0);
        if (const auto open = openAtStart_.find(entry.first); open != openAtStart_.end()) {
            in -= std::min(in, open->second.first);
            out -= std::min(out, open->second.second);
            openAtStart_.erase(open);
        }
        unattributedIn_ += in;
        unattributedOut_ += out;
        return true;
    });
    std::erase_if(listed_,
                  [&](const auto& entry) { return dumpedAt - entry.second.second > kKeepSeconds; });
}

void EndedSocketLedger::listeningBegan(const std::vector<platform::proc::SocketInfo>& open) {
    openAtStart_.clear();
    for (const platform::proc::SocketInfo& socket : open) {
        if (socket.cookie) {
            openAtStart_[*socket.cookie] = {socket.bytesReceived.value_or(0),
                                            socket.bytesAcked.value_or(0)};
        }
    }
}

void EndedSocketLedger::destroyed(const platform::proc::SocketInfo& socket, double now) {
    std::optional<HelperConnectionData> row = connectionRow(socket, 0);
    if (!row || !socket.cookie) {
        return; // loopback at both ends: never listed, never counted
    }
    if (const auto owner = listed_.find(*socket.cookie); owner != listed_.end()) {
        end(std::move(*row), owner->second.first, now);
        listed_.erase(owner);
        openAtStart_.erase(*socket.cookie);
        return;
    }
    unlisted_.insert_or_assign(*socket.cookie, Unlisted{std::move(*row), now});
}

void EndedSocketLedger::report(EndedSocketsCursor& cursor, HelperResponse& response) {
    if (cursor.started) {
        for (const Ended& ended : ended_) {
            if (ended.sequence >= cursor.nextRow) {
                response.endedConnections.push_back(ended.row);
            }
        }
        response.unattributedTcpBytesIn = unattributedIn_ - cursor.unattributedIn;
        response.unattributedTcpBytesOut = unattributedOut_ - cursor.unattributedOut;
    }
    cursor = {true, nextSequence_, unattributedIn_, unattributedOut_};
}

} // namespace korvel
