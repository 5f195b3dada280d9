#pragma once

#include <cstdint>
#include <vector>

namespace korvel::platform::netpath {

// Where the path monitor gets routing messages from: the kernel's rtnetlink
// socket in production, a script of recorded datagrams in tests.
class NetlinkSource {
public:
    enum class Status {
        datagram,   // bytes holds one datagram (one or more netlink messages)
        wouldBlock, // nothing pending (only when not waiting)
        overflow,   // the kernel dropped messages: the state is unknown
        woken,      // wake() was called
        closed,     // the source cannot deliver anything more
    };

    struct Received {
        Status status = Status::closed;
        std::vector<uint8_t> bytes;
    };

    // Dump request types, as rtnetlink numbers them.
    enum class Dump { links, addresses, routes };

    virtual ~NetlinkSource() = default;

    // Starts over with a fresh subscription to link, address and route
    // notifications; whatever was pending is discarded.
    virtual bool open() = 0;

    // Asks for every link, address or route; the answer arrives through
    // receive(), stamped with seq and closed by an NLMSG_DONE.
    virtual bool requestDump(Dump what, uint32_t seq) = 0;

    // The next datagram. With wait false, returns wouldBlock when nothing is
    // pending.
    virtual Received receive(bool wait) = 0;

    // The port the kernel stamps on answers to this source's requests.
    virtual uint32_t portId() const = 0;

    // Makes a blocked or the next receive() return woken. Any thread.
    virtual void wake() = 0;
};

} // namespace korvel::platform::netpath
