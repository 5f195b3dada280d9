#include "companion/top/recorded_session.h"

#include "companion/archive/history_location.h"
#include "companion/archive/history_schema.h"
#include "platform/clock/absolute_time.h"

#include <algorithm>
#include <tuple>

namespace korvel::top {

TopModel topModelOf(const history::Moment& moment) {
    TopModel model;
    model.time = static_cast<double>(moment.step.time) - platform::kUnixToAbsoluteTimeOffset;
    model.readings = 1;
    model.helperAvailable = true; // its absence left no mark; the processes tell
    RecordedMoment recorded{
        moment.step.time,        history::kTiers[moment.step.tier].bucketSeconds,
        moment.seconds,          moment.previous.has_value(),
        moment.next.has_value(), {}};
    const history::MomentSystem& s = moment.system;
    model.system.cpuUsagePercent = s.cpuPercent;
    model.system.loadAverage1m = s.load1m;
    model.system.totalMem = s.memoryTotal;
    model.system.usedMem = s.memoryUsed;
    model.system.pressure = static_cast<MemoryPressure>(std::clamp(s.memoryPressure, 0, 2));
    model.system.gpuUsagePercent = s.gpuPercent;
    model.system.cpuTemperatureCelsius = s.cpuTemperature;
    model.system.gpuTemperatureCelsius = s.gpuTemperature;
    for (const history::MomentInterface& row : moment.interfaces) {
        InterfaceStat stat;
        std::tie(stat.id, stat.rateIn, stat.rateOut) =
            std::tuple(row.name, row.rateIn, row.rateOut);
        model.interfaces.push_back(std::move(stat));
    }
    for (const history::MomentProcess& p : moment.processes) {
        NetProcess process;
        process.id = p.pid;
        process.name = process.displayName = p.name;
        process.execPath = p.executable;
        process.cpuPercent = p.cpuPercent;
        process.memBytes = p.rssBytes;
        std::tie(process.uid, process.unit, process.appId, process.container) =
            std::tuple(p.uid, p.unit, p.appId, p.container);
        if (moment.seconds > 0) {
            process.rateIn = p.rateIn;
            process.rateOut = p.rateOut;
        }
        if (p.uid && p.user) {
            model.userNames.emplace(*p.uid, *p.user);
        }
        recorded.sockets[p.pid] += static_cast<size_t>(p.tcpSockets + p.udpSockets);
        model.processes.push_back(std::move(process));
    }
    model.recorded = std::move(recorded);
    return model;
}

RecordedSession::RecordedSession(history::Database db, const history::Step& first)
    : db_(std::move(db)) {
    show(first);
}

std::unique_ptr<RecordedSession> RecordedSession::open(int64_t unixTime, std::string& error) {
    const auto place = history::historyPlace();
    error = "no home directory is known";
    auto db = place ? history::openHistoryForReading(*place, error) : std::nullopt;
    if (!db) {
        return nullptr;
    }
    if (db->integerOf("PRAGMA user_version") != history::kSchemaVersion) {
        error = "the history at " + place->path() +
                " is of another version; the companion brings it up to date when it starts";
        return nullptr;
    }
    const auto step = history::stepAt(*db, unixTime);
    if (!step) {
        error = "nothing is recorded in the history yet";
        return nullptr;
    }
    return std::make_unique<RecordedSession>(std::move(*db), *step);
}

void RecordedSession::show(const history::Step& step) {
    moment_ = history::momentOf(db_, step);
    model_ = topModelOf(moment_);
}

void RecordedSession::apply(const Command& command, const Frame& drawn) {
    using C = Command::Kind;
    if (command.kind == C::stepBack || command.kind == C::stepForward) {
        const auto& to = command.kind == C::stepBack ? moment_.previous : moment_.next;
        if (to) {
            show(*to);
        }
    } else if (command.kind != C::open && command.kind != C::toggleSystemProcesses) {
        applyCommand(state_, command, drawn.listedPids, drawn.listRows, false);
    }
}

} // namespace korvel::top
