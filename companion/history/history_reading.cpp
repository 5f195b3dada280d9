#include "companion/history/history_reading.h"

#include "companion/engine/korvel_manager.h"
#include "platform/clock/absolute_time.h"

#include <cmath>

namespace korvel::history {

bool SocketSample::hasRemote() const {
    return remotePort != 0 && !remoteAddress.empty() && remoteAddress != "0.0.0.0" &&
           remoteAddress != "::" && remoteAddress != "*";
}

double unixTime(double absoluteTime) {
    return absoluteTime + platform::kUnixToAbsoluteTimeOffset;
}

void addEndedSockets(const KorvelManager& manager, std::vector<EndedSocket>& ended) {
    for (const auto& c : manager.endedConnections.get()) {
        ended.push_back({c.pid,
                         {c.proto, c.localAddr, c.localPort, c.remoteAddr, c.remotePort, c.bytesIn,
                          c.bytesOut}});
    }
}

HistoryReading readingFromModel(const KorvelManager& manager, double now) {
    HistoryReading reading;
    reading.time = static_cast<int64_t>(std::llround(unixTime(now)));
    const auto& processes = manager.processes.get();
    reading.processes.reserve(processes.size());
    for (const auto& p : processes) {
        ProcessSample& sample = reading.processes.emplace_back();
        sample.pid = p.id;
        if (p.startTime) {
            sample.startTime = unixTime(*p.startTime);
        }
        sample.name = p.name;
        sample.executable = p.execPath;
        sample.uid = p.uid;
        sample.unit = p.unit;
        sample.appId = p.appId;
        sample.container = p.container;
        sample.cpuNS = p.cpuNS;
        sample.rssBytes = p.memBytes;
        sample.sockets.reserve(p.connections.size());
        for (const auto& c : p.connections) {
            sample.sockets.push_back({std::string(rawValue(c.proto)), c.localAddr, c.localPort,
                                      c.remoteAddr, c.remotePort, c.bytesIn, c.bytesOut});
        }
    }
    addEndedSockets(manager, reading.endedSockets);
    for (const auto& i : manager.allInterfaceStats.get()) {
        reading.interfaces.push_back({i.id, i.bytesIn, i.bytesOut});
    }
    const SystemStats& stats = manager.systemStats.get();
    reading.system = {stats.cpuUsagePercent,
                      stats.loadAverage1m,
                      stats.totalMem,
                      stats.usedMem,
                      stats.freeMem,
                      static_cast<int>(stats.pressure),
                      stats.gpuUsagePercent,
                      stats.cpuTemperatureCelsius,
                      stats.gpuTemperatureCelsius};
    return reading;
}

} // namespace korvel::history
