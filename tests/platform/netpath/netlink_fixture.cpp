#include "tests/platform/netpath/netlink_fixture.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
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

void pad(Bytes& out) {
    while (out.size() % 4 != 0) {
        out.push_back(0);
    }
}

void attribute(Bytes& out, uint16_t type, const void* data, size_t length) {
    rtattr header{};
    header.rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    header.rta_type = type;
    append(out, header);
    const auto* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + length);
    pad(out);
}

void attributeU32(Bytes& out, uint16_t type, uint32_t value) {
    attribute(out, type, &value, sizeof value);
}

Bytes message(uint16_t type, uint16_t flags, const Bytes& body) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<uint32_t>(NLMSG_HDRLEN + body.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    Bytes out;
    append(out, header);
    out.insert(out.end(), body.begin(), body.end());
    pad(out);
    return out;
}

// Rewrites every message header of a datagram; returns whether it ended in DONE.
bool restamp(Bytes& datagram, uint32_t seq, uint32_t port, bool interrupt) {
    size_t offset = 0;
    bool done = false;
    while (offset + sizeof(nlmsghdr) <= datagram.size()) {
        nlmsghdr header{};
        std::memcpy(&header, datagram.data() + offset, sizeof header);
        header.nlmsg_seq = seq;
        header.nlmsg_pid = port;
        if (interrupt) {
            header.nlmsg_flags |= NLM_F_DUMP_INTR;
        }
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

Dump dumpNamed(const std::string& kind) {
    if (kind == "links") {
        return Dump::links;
    }
    if (kind == "addresses") {
        return Dump::addresses;
    }
    if (kind == "routes") {
        return Dump::routes;
    }
    throw std::runtime_error("unknown dump kind " + kind);
}

} // namespace

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return {a, b, c, d};
}

Bytes linkMessage(uint16_t type, int index, const std::string& name, uint32_t flags,
                  uint8_t family) {
    Bytes body;
    ifinfomsg info{};
    info.ifi_family = family;
    info.ifi_index = index;
    info.ifi_flags = flags;
    info.ifi_change = 0xffffffff;
    append(body, info);
    attribute(body, IFLA_IFNAME, name.c_str(), name.size() + 1);
    attributeU32(body, IFLA_MTU, 1500);
    return message(type, 0, body);
}

Bytes addressMessage(uint16_t type, int index, bool ipv6, const Bytes& address, int prefixLength,
                     int scope) {
    Bytes body;
    ifaddrmsg info{};
    info.ifa_family = ipv6 ? AF_INET6 : AF_INET;
    info.ifa_prefixlen = static_cast<uint8_t>(prefixLength);
    info.ifa_scope = static_cast<uint8_t>(scope);
    info.ifa_index = static_cast<uint32_t>(index);
    append(body, info);
    attribute(body, IFA_ADDRESS, address.data(), address.size());
    if (!ipv6) {
        attribute(body, IFA_LOCAL, address.data(), address.size());
    }
    return message(type, 0, body);
}

Bytes routeMessage(const RouteSpec& spec) {
    Bytes body;
    rtmsg info{};
    info.rtm_family = spec.ipv6 ? AF_INET6 : AF_INET;
    info.rtm_dst_len = static_cast<uint8_t>(spec.destinationLength);
    info.rtm_table = static_cast<uint8_t>(spec.table > 255 ? RT_TABLE_COMPAT : spec.table);
    info.rtm_protocol = RTPROT_STATIC;
    info.rtm_scope = RT_SCOPE_UNIVERSE;
    info.rtm_type = spec.routeType;
    append(body, info);
    attributeU32(body, RTA_TABLE, spec.table);
    if (spec.destinationLength > 0) {
        const Bytes destination(spec.ipv6 ? 16 : 4, 0x0a);
        attribute(body, RTA_DST, destination.data(), destination.size());
    }
    if (spec.metric != 0) {
        attributeU32(body, RTA_PRIORITY, spec.metric);
    }
    if (!spec.gateway.empty()) {
        attribute(body, RTA_GATEWAY, spec.gateway.data(), spec.gateway.size());
    }
    if (spec.interfaceIndex != 0) {
        attributeU32(body, RTA_OIF, static_cast<uint32_t>(spec.interfaceIndex));
    }
    if (!spec.multipath.empty()) {
        Bytes hops;
        for (const auto& [index, gateway] : spec.multipath) {
            Bytes hop;
            rtnexthop nexthop{};
            nexthop.rtnh_ifindex = index;
            append(hop, nexthop);
            attribute(hop, RTA_GATEWAY, gateway.data(), gateway.size());
            nexthop.rtnh_len = static_cast<unsigned short>(hop.size());
            std::memcpy(hop.data(), &nexthop, sizeof nexthop);
            hops.insert(hops.end(), hop.begin(), hop.end());
        }
        attribute(body, RTA_MULTIPATH, hops.data(), hops.size());
    }
    return message(spec.type, spec.messageFlags, body);
}

RecordedScenario loadScenario(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    RecordedScenario scenario;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string tag;
        words >> tag;
        if (tag == "state") {
            std::string name, kind, hex;
            words >> name >> kind >> hex;
            scenario.states[name][dumpNamed(kind)].push_back(fromHex(hex));
        } else if (tag == "mark") {
            std::string name;
            words >> name;
            scenario.steps.push_back({name, {}});
        } else if (tag == "event") {
            std::string hex;
            words >> hex;
            scenario.steps.back().second.push_back(fromHex(hex));
        }
    }
    return scenario;
}

namespace {

class Forwarder final : public platform::netpath::NetlinkSource {
public:
    explicit Forwarder(std::shared_ptr<FakeNetlinkSource> fake) : fake_(std::move(fake)) {}
    bool open() override { return fake_->open(); }
    bool requestDump(Dump what, uint32_t seq) override { return fake_->requestDump(what, seq); }
    Received receive(bool wait) override { return fake_->receive(wait); }
    uint32_t portId() const override { return fake_->portId(); }
    void wake() override { fake_->wake(); }

private:
    std::shared_ptr<FakeNetlinkSource> fake_;
};

} // namespace

std::unique_ptr<platform::netpath::NetlinkSource>
FakeNetlinkSource::shared(std::shared_ptr<FakeNetlinkSource> fake) {
    return std::make_unique<Forwarder>(std::move(fake));
}

FakeNetlinkSource::FakeNetlinkSource(DumpTables tables) : tables_(std::move(tables)) {}

bool FakeNetlinkSource::open() {
    std::lock_guard lock(mutex_);
    opens_ += 1;
    answers_.clear();
    return true;
}

bool FakeNetlinkSource::requestDump(Dump what, uint32_t seq) {
    std::lock_guard lock(mutex_);
    const bool interrupt = dumps_ == interruptedDump_;
    dumps_ += 1;
    bool done = false;
    for (auto datagram : tables_[what]) {
        done = restamp(datagram, seq, kPort, interrupt);
        answers_.push_back(std::move(datagram));
    }
    if (!done) {
        auto end = message(NLMSG_DONE, NLM_F_MULTI, Bytes(4, 0));
        restamp(end, seq, kPort, false);
        answers_.push_back(std::move(end));
    }
    return true;
}

platform::netpath::NetlinkSource::Received FakeNetlinkSource::receive(bool wait) {
    std::unique_lock lock(mutex_);
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
            changed_.notify_all();
            return {Status::closed, {}};
        }
        auto& step = script_.front();
        switch (step.kind) {
        case Step::Kind::datagram: {
            Received next{Status::datagram, std::move(step.bytes)};
            script_.pop_front();
            return next;
        }
        case Step::Kind::overflow:
            script_.pop_front();
            return {Status::overflow, {}};
        case Step::Kind::setTables:
            tables_ = std::move(step.tables);
            script_.pop_front();
            continue;
        case Step::Kind::pause:
            if (!wait) {
                return {Status::wouldBlock, {}};
            }
            script_.pop_front();
            continue;
        case Step::Kind::waitForWake:
            if (!wait) {
                return {Status::wouldBlock, {}};
            }
            // A wake that came before the reader got here counts too.
            changed_.wait(lock, [this] { return wakes_ > 0; });
            script_.pop_front();
            continue;
        }
    }
}

void FakeNetlinkSource::wake() {
    std::lock_guard lock(mutex_);
    wakePending_ = true;
    wakes_ += 1;
    changed_.notify_all();
}

void FakeNetlinkSource::waitUntilFinished() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(30), [this] { return finished_; })) {
        throw std::runtime_error("the path monitor never read the whole script");
    }
}

int FakeNetlinkSource::openCount() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

int FakeNetlinkSource::dumpCount() const {
    std::lock_guard lock(mutex_);
    return dumps_;
}

} // namespace korvel::testing
