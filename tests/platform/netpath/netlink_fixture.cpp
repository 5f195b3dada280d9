#include "tests/platform/netpath/netlink_fixture.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvel::testing {
namespace {

template <typename T> void append(Bytes& out, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

void attribute(Bytes& out, uint16_t type, const void* data, size_t length) {
    append(out, rtattr{static_cast<unsigned short>(RTA_LENGTH(length)), type});
    const auto* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + length);
    out.resize(NLMSG_ALIGN(out.size()), 0);
}

void attributeU32(Bytes& out, uint16_t type, uint32_t value) {
    attribute(out, type, &value, sizeof value);
}

// Rewrites every message header of a datagram; returns whether it ended in DONE.
bool restamp(Bytes& datagram, uint32_t seq, bool interrupt) {
    size_t offset = 0;
    bool done = false;
    while (offset + sizeof(nlmsghdr) <= datagram.size()) {
        nlmsghdr header{};
        std::memcpy(&header, datagram.data() + offset, sizeof header);
        header.nlmsg_seq = seq;
        header.nlmsg_pid = FakeNetlinkSource::kPort;
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

Bytes fromHex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

} // namespace

Bytes message(uint16_t type, uint16_t flags, const Bytes& body, uint32_t seq, uint32_t port) {
    Bytes out;
    append(out,
           nlmsghdr{static_cast<uint32_t>(NLMSG_HDRLEN + body.size()), type, flags, seq, port});
    out.insert(out.end(), body.begin(), body.end());
    out.resize(NLMSG_ALIGN(out.size()), 0);
    return out;
}

Bytes linkMessage(uint16_t type, int index, const std::string& name, uint32_t flags,
                  uint8_t family) {
    Bytes body;
    append(body, ifinfomsg{family, 0, 0, index, flags, 0xffffffff});
    attribute(body, IFLA_IFNAME, name.c_str(), name.size() + 1);
    attributeU32(body, IFLA_MTU, 1500);
    return message(type, 0, body);
}

Bytes addressMessage(uint16_t type, int index, bool ipv6, const Bytes& address, int prefixLength,
                     int scope) {
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

Route defaultRoute(int index, uint32_t metric, bool ipv6) {
    return {.ipv6 = ipv6,
            .metric = metric,
            .interfaceIndex = index,
            .gateway = ipv6 ? Bytes(16, 0x20) : Bytes{10, 0, static_cast<uint8_t>(index), 1}};
}

Bytes routeMessage(const Route& route, uint16_t type) {
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

std::filesystem::path addSysNet(const std::filesystem::path& sysRoot, const std::string& name,
                                int type, bool device) {
    const auto dir = sysRoot / "class" / "net" / name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "type") << type << "\n";
    if (device) {
        std::filesystem::create_directories(sysRoot / "devices" / name);
        std::filesystem::create_directory_symlink(sysRoot / "devices" / name, dir / "device");
    }
    return dir;
}

RecordedScenario loadScenario(const std::string& path) {
    static const std::map<std::string, Dump> kDumps = {
        {"links", Dump::links}, {"addresses", Dump::addresses}, {"routes", Dump::routes}};
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

bool FakeNetlinkSource::open() {
    std::lock_guard lock(mutex_);
    opens += 1;
    answers_.clear();
    return true;
}

bool FakeNetlinkSource::requestDump(Dump what, uint32_t seq) {
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

platform::netpath::NetlinkSource::Received FakeNetlinkSource::receive(bool wait) {
    std::lock_guard lock(mutex_);
    for (;;) {
        if (wakePending_) {
            wakePending_ = false;
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

void FakeNetlinkSource::wake() {
    std::lock_guard lock(mutex_);
    wakePending_ = true;
}

void FakeNetlinkSource::waitUntilFinished() {
    std::unique_lock lock(mutex_);
    if (!finishedChanged_.wait_for(lock, std::chrono::seconds(30), [this] { return finished_; })) {
        throw std::runtime_error("the path monitor never read the whole script");
    }
}

} // namespace korvel::testing
