#pragma once

#include "platform/netpath/netlink_source.h"
#include "platform/netpath/network_path.h"

#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace korvel::testing {

using Bytes = std::vector<uint8_t>;
using Dump = platform::netpath::NetlinkSource::Dump;
using DumpTables = std::map<Dump, std::vector<Bytes>>;

constexpr uint32_t kUp = IFF_UP | IFF_RUNNING | IFF_LOWER_UP;

template <typename T> void append(Bytes& out, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

inline void attribute(Bytes& out, uint16_t type, const void* data, size_t length) {
    append(out, rtattr{static_cast<unsigned short>(RTA_LENGTH(length)), type});
    const auto* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + length);
    out.resize(NLMSG_ALIGN(out.size()), 0);
}

inline void attributeU32(Bytes& out, uint16_t type, uint32_t value) {
    attribute(out, type, &value, sizeof value);
}

// Single rtnetlink messages, laid out as the kernel sends them.
inline Bytes message(uint16_t type, uint16_t flags, const Bytes& body, uint32_t seq = 0,
                     uint32_t port = 0) {
    Bytes out;
    append(out,
           nlmsghdr{static_cast<uint32_t>(NLMSG_HDRLEN + body.size()), type, flags, seq, port});
    out.insert(out.end(), body.begin(), body.end());
    out.resize(NLMSG_ALIGN(out.size()), 0);
    return out;
}

inline Bytes linkMessage(uint16_t type, int index, const std::string& name, uint32_t flags,
                         uint8_t family = 0) {
    Bytes body;
    append(body, ifinfomsg{family, 0, 0, index, flags, 0xffffffff});
    attribute(body, IFLA_IFNAME, name.c_str(), name.size() + 1);
    return message(type, 0, body);
}

inline Bytes addressMessage(uint16_t type, int index, bool ipv6, const Bytes& address,
                            int prefixLength, int scope) {
    Bytes body;
    append(body, ifaddrmsg{static_cast<uint8_t>(ipv6 ? AF_INET6 : AF_INET),
                           static_cast<uint8_t>(prefixLength), 0, static_cast<uint8_t>(scope),
                           static_cast<uint32_t>(index)});
    attribute(body, IFA_ADDRESS, address.data(), address.size());
    if (!ipv6) {
        attribute(body, IFA_LOCAL, address.data(), address.size());
    }
    return message(type, 0, body);
}

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
inline Route defaultRoute(int index, uint32_t metric, bool ipv6 = false) {
    return {.ipv6 = ipv6,
            .metric = metric,
            .interfaceIndex = index,
            .gateway = ipv6 ? Bytes(16, 0x20) : Bytes{10, 0, static_cast<uint8_t>(index), 1}};
}

inline Bytes routeMessage(const Route& route, uint16_t type = RTM_NEWROUTE) {
    Bytes body;
    rtmsg info{};
    info.rtm_family = route.ipv6 ? AF_INET6 : AF_INET;
    info.rtm_dst_len = static_cast<uint8_t>(route.destinationLength);
    info.rtm_table = static_cast<uint8_t>(route.table > 255 ? RT_TABLE_COMPAT : route.table);
    info.rtm_protocol = RTPROT_STATIC;
    info.rtm_type = route.routeType;
    append(body, info);
    attributeU32(body, RTA_TABLE, route.table);
    if (route.destinationLength > 0) {
        const Bytes destination(route.ipv6 ? 16 : 4, 0x0a);
        attribute(body, RTA_DST, destination.data(), destination.size());
    }
    if (route.metric != 0) {
        attributeU32(body, RTA_PRIORITY, route.metric);
    }
    if (!route.gateway.empty()) {
        attribute(body, RTA_GATEWAY, route.gateway.data(), route.gateway.size());
    }
    if (route.interfaceIndex != 0) {
        attributeU32(body, RTA_OIF, static_cast<uint32_t>(route.interfaceIndex));
    }
    if (!route.multipath.empty()) {
        Bytes hops;
        for (const auto& [index, gateway] : route.multipath) {
            Bytes hop;
            append(hop, rtnexthop{0, 0, 0, index});
            attribute(hop, RTA_GATEWAY, gateway.data(), gateway.size());
            const auto length = static_cast<unsigned short>(hop.size());
            std::memcpy(hop.data(), &length, sizeof length); // rtnh_len comes first
            hops.insert(hops.end(), hop.begin(), hop.end());
        }
        attribute(body, RTA_MULTIPATH, hops.data(), hops.size());
    }
    return message(type, route.messageFlags, body);
}

inline std::vector<std::string> names(const platform::netpath::NetworkPath& path) {
    std::vector<std::string> out;
    for (const auto& interface : path.interfaces) {
        out.push_back(interface.name);
    }
    return out;
}

// A /sys/class/net entry; hardware gets a device link. Returns its directory.
inline std::filesystem::path addSysNet(const std::filesystem::path& sysRoot,
                                       const std::string& name, int type, bool device) {
    const auto dir = sysRoot / "class" / "net" / name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "type") << type << "\n";
    if (device) {
        std::filesystem::create_directories(sysRoot / "devices" / name);
        std::filesystem::create_directory_symlink(sysRoot / "devices" / name, dir / "device");
    }
    return dir;
}

// A recording made with the live socket: dumps after each step, and the
// notifications each step produced.
struct RecordedScenario {
    std::map<std::string, DumpTables> states;
    std::vector<std::pair<std::string, std::vector<Bytes>>> steps;
};

inline RecordedScenario loadScenario(const std::string& path) {
    static const std::map<std::string, Dump> kDumps = {
        {"links", Dump::links}, {"addresses", Dump::addresses}, {"routes", Dump::routes}};
    const auto fromHex = [](const std::string& text) {
        Bytes out;
        for (size_t i = 0; i + 1 < text.size(); i += 2) {
            out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        }
        return out;
    };
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    RecordedScenario scenario;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string tag, name, kind, hex;
        words >> tag;
        if (tag == "state" && words >> name >> kind >> hex) {
            scenario.states[name][kDumps.at(kind)].push_back(fromHex(hex));
        } else if (tag == "mark" && words >> name) {
            scenario.steps.push_back({name, {}});
        } else if (tag == "event" && words >> hex) {
            scenario.steps.back().second.push_back(fromHex(hex));
        }
    }
    return scenario;
}

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

    bool open() override {
        std::lock_guard lock(mutex_);
        opens += 1;
        answers_.clear();
        return true;
    }

    bool requestDump(Dump what, uint32_t seq) override {
        std::lock_guard lock(mutex_);
        const bool interrupt = dumps++ == interruptedDump_;
        bool done = false;
        for (auto datagram : tables_[what]) {
            done = restamp(datagram, seq, interrupt);
            answers_.push_back(std::move(datagram));
        }
        if (!done) {
            answers_.push_back(message(NLMSG_DONE, NLM_F_MULTI, Bytes(4, 0), seq, kPort));
        }
        return true;
    }

    Received receive(bool wait) override {
        std::lock_guard lock(mutex_);
        for (;;) {
            if (std::exchange(wakePending_, false)) {
                return {Status::woken, {}};
            }
            if (!answers_.empty()) {
                Received answer{Status::datagram, std::move(answers_.front())};
                answers_.pop_front();
                return answer;
            }
            if (script_.empty()) {
                if (!wait) {
                    return {Status::wouldBlock, {}};
                }
                finished_ = true;
                finishedChanged_.notify_all();
                return {Status::closed, {}};
            }
            if (script_.front().kind == Step::Kind::pause && !wait) {
                return {Status::wouldBlock, {}};
            }
            Step step = std::move(script_.front());
            script_.pop_front();
            switch (step.kind) {
            case Step::Kind::datagram:
                return {Status::datagram, std::move(step.bytes)};
            case Step::Kind::overflow:
                return {Status::overflow, {}};
            case Step::Kind::setTables:
                tables_ = std::move(step.tables);
                break;
            case Step::Kind::pause:
                break;
            }
        }
    }

    uint32_t portId() const override { return kPort; }

    void wake() override {
        std::lock_guard lock(mutex_);
        wakePending_ = true;
    }

    // Blocks until the script has run out and the reader was told so.
    void waitUntilFinished() {
        std::unique_lock lock(mutex_);
        if (!finishedChanged_.wait_for(lock, std::chrono::seconds(30),
                                       [this] { return finished_; })) {
            throw std::runtime_error("the path monitor never read the whole script");
        }
    }

    std::atomic<int> opens{0};
    std::atomic<int> dumps{0};

private:
    struct Step {
        enum class Kind { datagram, overflow, pause, setTables } kind;
        Bytes bytes;
        DumpTables tables;
    };

    // Rewrites every message header of a datagram; returns whether it ended in DONE.
    static bool restamp(Bytes& datagram, uint32_t seq, bool interrupt) {
        size_t offset = 0;
        bool done = false;
        while (offset + sizeof(nlmsghdr) <= datagram.size()) {
            nlmsghdr header{};
            std::memcpy(&header, datagram.data() + offset, sizeof header);
            header.nlmsg_seq = seq;
            header.nlmsg_pid = kPort;
            header.nlmsg_flags |= interrupt ? NLM_F_DUMP_INTR : 0;
            done = header.nlmsg_type == NLMSG_DONE;
            std::memcpy(datagram.data() + offset, &header, sizeof header);
            if (header.nlmsg_len < sizeof(nlmsghdr)) {
                break;
            }
            offset += NLMSG_ALIGN(header.nlmsg_len);
        }
        return done;
    }

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
