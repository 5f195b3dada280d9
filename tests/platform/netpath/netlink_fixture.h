#pragma once

#include "platform/netpath/netlink_source.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvel::testing {

using Bytes = std::vector<uint8_t>;
using Dump = platform::netpath::NetlinkSource::Dump;
using DumpTables = std::map<Dump, std::vector<Bytes>>;

Bytes concat(std::initializer_list<Bytes> parts);

// Single rtnetlink messages, laid out as the kernel sends them.
Bytes linkMessage(uint16_t type, int index, const std::string& name, uint32_t flags,
                  uint8_t family = 0);
Bytes addressMessage(uint16_t type, int index, bool ipv6, const Bytes& address, int prefixLength,
                     int scope);
struct RouteSpec {
    uint16_t type = 0; // RTM_NEWROUTE or RTM_DELROUTE
    bool ipv6 = false;
    uint32_t table = 254;
    uint32_t metric = 0;
    int interfaceIndex = 0;
    Bytes gateway;
    uint8_t routeType = 1;                        // RTN_UNICAST
    std::vector<std::pair<int, Bytes>> multipath; // (index, gateway) per hop
    uint16_t messageFlags = 0;                    // e.g. NLM_F_REPLACE
    int destinationLength = 0;
};
Bytes routeMessage(const RouteSpec& spec);
Bytes ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

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

    struct Step {
        enum class Kind { datagram, overflow, pause, setTables, waitForWake } kind;
        Bytes bytes;
        DumpTables tables;
    };

    // tables hold whole datagrams (ending in NLMSG_DONE) or single messages,
    // which are sent as one datagram followed by an NLMSG_DONE.
    explicit FakeNetlinkSource(DumpTables tables);

    void datagram(Bytes bytes) { script_.push_back({Step::Kind::datagram, std::move(bytes), {}}); }
    void overflow() { script_.push_back({Step::Kind::overflow, {}, {}}); }
    void pause() { script_.push_back({Step::Kind::pause, {}, {}}); }
    void setTables(DumpTables tables) {
        script_.push_back({Step::Kind::setTables, {}, std::move(tables)});
    }
    // Blocks the reader until the first wake().
    void waitForWake() { script_.push_back({Step::Kind::waitForWake, {}, {}}); }
    // Makes the n-th dump answer (counting from 0) carry NLM_F_DUMP_INTR.
    void interruptDump(int n) { interruptedDump_ = n; }

    bool open() override;
    bool requestDump(Dump what, uint32_t seq) override;
    Received receive(bool wait) override;
    uint32_t portId() const override { return kPort; }
    void wake() override;

    // A source that forwards to this fake, so a test can keep looking at the
    // fake after the monitor that owned the source is gone.
    static std::unique_ptr<platform::netpath::NetlinkSource>
    shared(std::shared_ptr<FakeNetlinkSource> fake);

    // Blocks until the script has run out and the reader was told so.
    void waitUntilFinished();
    int openCount() const;
    int dumpCount() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    DumpTables tables_;
    std::deque<Step> script_;
    std::deque<Bytes> answers_;
    bool wakePending_ = false;
    int wakes_ = 0;
    bool finished_ = false;
    int opens_ = 0;
    int dumps_ = 0;
    int interruptedDump_ = -1;
};

} // namespace korvel::testing
