#pragma once

#include "platform/netpath/netlink_source.h"

#include <linux/rtnetlink.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace korvel::testing {

using Bytes = std::vector<uint8_t>;
using Dump = platform::netpath::NetlinkSource::Dump;
using DumpTables = std::map<Dump, std::vector<Bytes>>;

// Single rtnetlink messages, laid out as the kernel sends them.
Bytes message(uint16_t type, uint16_t flags, const Bytes& body, uint32_t seq = 0,
              uint32_t port = 0);
Bytes linkMessage(uint16_t type, int index, const std::string& name, uint32_t flags,
                  uint8_t family = 0);
Bytes addressMessage(uint16_t type, int index, bool ipv6, const Bytes& address, int prefixLength,
                     int scope);
struct Route {
    bool ipv6 = false;
    uint32_t table = RT_TABLE_MAIN;
    uint32_t metric = 0;
    int interfaceIndex = 0;
    Bytes gateway{};
    uint8_t routeType = RTN_UNICAST;
    std::vector<std::pair<int, Bytes>> multipath{}; // (index, gateway) per hop
    uint16_t messageFlags = 0;                      // e.g. NLM_F_REPLACE
    int destinationLength = 0;
};
// A default route out of interface index, via 10.0.index.1 (or an IPv6 gateway).
Route defaultRoute(int index, uint32_t metric, bool ipv6 = false);
Bytes routeMessage(const Route& route, uint16_t type = RTM_NEWROUTE);

// A /sys/class/net entry; hardware gets a device link. Returns its directory.
std::filesystem::path addSysNet(const std::filesystem::path& sysRoot, const std::string& name,
                                int type, bool device);

// A recording made with the live socket: dumps after each step, and the
// notifications each step produced.
struct RecordedScenario {
    std::map<std::string, DumpTables> states;
    std::vector<std::pair<std::string, std::vector<Bytes>>> steps;
};
RecordedScenario loadScenario(const std::string& path);

// Plays the kernel: answers dump requests from its current tables (stamping
// the request's seq and its own port) and then plays a script.
class FakeNetlinkSource final : public platform::netpath::NetlinkSource {
public:
    static constexpr uint32_t kPort = 4242;

    // tables hold whole datagrams (ending in NLMSG_DONE) or single messages,
    // which are sent as one datagram followed by an NLMSG_DONE.
    explicit FakeNetlinkSource(DumpTables tables) : tables_(std::move(tables)) {}

    void datagram(Bytes bytes) { script_.push_back({Step::Kind::datagram, std::move(bytes), {}}); }
    void overflow() { script_.push_back({Step::Kind::overflow, {}, {}}); }
    // Ends a burst: the reader sees nothing pending until it waits.
    void pause() { script_.push_back({Step::Kind::pause, {}, {}}); }
    void setTables(DumpTables tables) {
        script_.push_back({Step::Kind::setTables, {}, std::move(tables)});
    }
    // Makes the n-th dump answer (counting from 0) carry NLM_F_DUMP_INTR.
    void interruptDump(int n) { interruptedDump_ = n; }

    bool open() override;
    bool requestDump(Dump what, uint32_t seq) override;
    Received receive(bool wait) override;
    uint32_t portId() const override { return kPort; }
    void wake() override;

    // Blocks until the script has run out and the reader was told so.
    void waitUntilFinished();

    std::atomic<int> opens{0};
    std::atomic<int> dumps{0};

private:
    struct Step {
        enum class Kind { datagram, overflow, pause, setTables } kind;
        Bytes bytes;
        DumpTables tables;
    };

    std::mutex mutex_;
    std::condition_variable finishedChanged_;
    DumpTables tables_;
    std::deque<Step> script_;
    std::deque<Bytes> answers_;
    bool wakePending_ = false;
    bool finished_ = false;
    int interruptedDump_ = -1;
};

} // namespace korvel::testing
