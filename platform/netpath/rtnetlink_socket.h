#pragma once

#include "platform/netpath/netlink_source.h"

namespace korvel::platform::netpath {

// The kernel's routing socket, subscribed to link, IPv4/IPv6 address and
// IPv4/IPv6 route notifications. Only datagrams sent by the kernel itself are
// delivered; anything another process sends to this port is dropped.
class RtnetlinkSocket final : public NetlinkSource {
public:
    RtnetlinkSocket();
    ~RtnetlinkSocket() override;
    RtnetlinkSocket(const RtnetlinkSocket&) = delete;
    RtnetlinkSocket& operator=(const RtnetlinkSocket&) = delete;

    bool open() override;
    bool requestDump(Dump what, uint32_t seq) override;
    Received receive(bool wait) override;
    uint32_t portId() const override { return portId_; }
    void wake() override;

private:
    void closeSocket();

    int socket_ = -1;
    int wakeFd_ = -1;
    uint32_t portId_ = 0;
};

} // namespace korvel::platform::netpath
