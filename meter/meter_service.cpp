#include "meter/meter_service.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace korvel::meter {
namespace {

constexpr const char* kEverySocketGroup = "korvel";

// Ended rows age by the steady clock: setting the time keeps none longer.
double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class MeterService : public platform::service::RequestHandler {
public:
    MeterService(MeterState& state, std::optional<uint32_t> owner)
        : state_(state), owner_(owner), endedFrom_(state.endedSoFar()) {}
    void handle(const platform::service::Request& request,
                const std::function<void(const platform::service::Reply&)>& reply) override {
        if (request.selector != kMeterSocketsSelector) {
            reply(std::nullopt);
            return;
        }
        reply(encodeMeterReply(told_.changes(visibleTo(state_.reply(endedFrom_), owner_))));
    }

private:
    MeterState& state_;
    std::optional<uint32_t> owner_;
    uint64_t endedFrom_;
    OpenSocketsTold told_;
};

} // namespace

bool seesEverySocket(uid_t uid) {
    if (uid == 0) {
        return true;
    }
    const group* korvel = ::getgrnam(kEverySocketGroup);
    const passwd* user = ::getpwuid(uid);
    if (korvel == nullptr || user == nullptr) {
        return false;
    }
    const gid_t wanted = korvel->gr_gid;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
            return false;
        }
    }
    groups.resize(static_cast<size_t>(count));
    return std::find(groups.begin(), groups.end(), wanted) != groups.end();
}

MeterReply visibleTo(MeterReply all, std::optional<uint32_t> owner) {
    if (owner) {
        std::erase_if(all.sockets, [&](const MeterSocket& s) { return s.uid != *owner; });
    }
    return all;
}

MeterReply OpenSocketsTold::changes(MeterReply all) {
    std::unordered_map<uint64_t, Told> now;
    MeterReply reply;
    reply.lost = all.lost;
    reply.full = !told_;
    for (MeterSocket& s : all.sockets) {
        if (s.ended) {
            reply.sockets.push_back(std::move(s));
            continue;
        }
        const Told counts{s.bytesIn, s.bytesOut, s.pid};
        now.emplace(s.cookie, counts);
        bool changed = true;
        if (told_) {
            const auto before = told_->find(s.cookie);
            changed = before == told_->end() || !(before->second == counts);
        }
        if (changed) {
            reply.sockets.push_back(std::move(s));
        }
    }
    if (told_) {
        for (const auto& [cookie, counts] : *told_) {
            if (!now.contains(cookie)) {
                reply.gone.push_back(cookie);
            }
        }
    }
    told_ = std::move(now);
    return reply;
}

void EndedSockets::add(std::vector<MeterSocket> ended, double now) {
    while (!rows_.empty() && now - rows_.front().first > kKeepSeconds) {
        rows_.pop_front();
    }
    for (MeterSocket& socket : ended) {
        rows_.emplace_back(now, std::move(socket));
        ++nextNumber_;
    }
    while (rows_.size() > kMostRows) {
        rows_.pop_front();
        ++dropped_;
    }
}

uint64_t EndedSockets::appendSince(uint64_t from, std::vector<MeterSocket>& out) const {
    const uint64_t first = nextNumber_ - rows_.size();
    for (uint64_t n = std::max(from, first); n < nextNumber_; ++n) {
        out.push_back(rows_[n - first].second);
    }
    return nextNumber_;
}

void MeterState::drain() {
    std::lock_guard lock(mutex_);
    ended_.add(counters_->takeEnded(), steadySeconds());
}

uint64_t MeterState::endedSoFar() {
    // No read of the kernel's map here: a connection must cost no more than
    // that. What ended since the last drain is told to it too; its helper
    // takes nothing from its first reply.
    std::lock_guard lock(mutex_);
    return ended_.nextNumber();
}

MeterReply MeterState::reply(uint64_t& endedFrom) {
    std::lock_guard lock(mutex_);
    ended_.add(counters_->takeEnded(), steadySeconds());
    MeterReply reply;
    reply.sockets = counters_->openSockets();
    reply.lost = counters_->lost(reply.sockets.size()) + ended_.dropped();
    endedFrom = ended_.appendSince(endedFrom, reply.sockets);
    return reply;
}

bool MeterDelegate::shouldAcceptNewConnection(platform::service::Listener& /*listener*/,
                                              platform::service::IncomingConnection& connection) {
    if (connection.peerUid() < 0) {
        return false;
    }
    const auto uid = static_cast<uid_t>(connection.peerUid());
    std::optional<uint32_t> owner;
    if (!seesEverySocket(uid)) {
        owner = uid;
    }
    connection.setRequestHandler(std::make_shared<MeterService>(state_, owner));
    connection.resume();
    return true;
}

} // namespace korvel::meter
