#pragma once

#include "platform/proc/inet_socket_table.h"
#include "shared/helper_response.h"

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

namespace korvel {

// Where one client's next report of ended sockets starts.
struct EndedSocketsCursor {
    bool started = false;
    uint64_t nextRow = 0;
    uint64_t unattributedIn = 0; // the totals at its last report
    uint64_t unattributedOut = 0;
};

// The TCP sockets the kernel destroyed while the helper listened, with their
// final byte counters, tied to the process a reply had listed them under.
// A destroy message names no process (its inode and uid are zero), so the
// cookie of a reply's row is the only way back to one.
class EndedSocketLedger {
public:
    // How long a listed socket stays attributed without being listed again,
    // and how long an ended row waits for a client to ask.
    static constexpr double kKeepSeconds = 120;
    static constexpr size_t kMostRows = 100000;

    // The rows of a reading whose sockets were dumped from `dumpedAt` on.
    void attribute(const std::vector<HelperConnectionData>& rows, double dumpedAt);
    // Rows the socket watcher tied to processes between readings. Unlike a
    // reading's, its dump gives up on no socket that ended unlisted: a
    // reading's dump under way may still list it.
    void attributeWatched(const std::vector<HelperConnectionData>& rows, double dumpedAt);
    bool isListed(uint64_t cookie) const { return listed_.contains(cookie); }
    // The sockets open when the listening began, with their counters then:
    // one that ends unlisted adds only what it moved since to the
    // unattributed bytes, not what it moved in all its life.
    void listeningBegan(const std::vector<platform::proc::SocketInfo>& open);
    // A socket the kernel destroyed at `now`.
    void destroyed(const platform::proc::SocketInfo& socket, double now);
    // The rows ended since the cursor's last report and the bytes of sockets
    // that ended unattributed since then; none on a cursor's first report.
    void report(EndedSocketsCursor& cursor, HelperResponse& response);

private:
    struct Ended {
        uint64_t sequence;
        double endedAt;
        HelperConnectionData row;
    };
    struct Unlisted {
        HelperConnectionData row; // pid 0
        double destroyedAt;
    };
    void end(HelperConnectionData row, int32_t pid, double now);

    std::unordered_map<uint64_t, std::pair<int32_t, double>> listed_; // cookie: pid, last listed
    // Destroyed before any reply listed them; a dump that began before they
    // ended may still do so.
    std::unordered_map<uint64_t, Unlisted> unlisted_;
    std::unordered_map<uint64_t, std::pair<uint64_t, uint64_t>> openAtStart_; // cookie: in, out
    std::deque<Ended> ended_;
    uint64_t nextSequence_ = 0;
    uint64_t unattributedIn_ = 0;
    uint64_t unattributedOut_ = 0;
};

} // namespace korvel
