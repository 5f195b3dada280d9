#include "companion/history/history_reading.h"

#include "platform/clock/absolute_time.h"

#include <algorithm>
#include <cmath>

namespace korvel::history {
namespace {

bool remoteKnown(const std::string& address, uint16_t port) {
    return port != 0 && !address.empty() && address != "0.0.0.0" && address != "::" &&
           address != "*";
}

// Traffic with this machine itself never leaves it: no network carries it.
bool isLoopback(const std::string& address) {
    return address.starts_with("127.") || address == "::1" || address.starts_with("::ffff:127.");
}

ConnectionCounters less(const ConnectionCounters& a, const ConnectionCounters& b) {
    return {a.bytesIn > b.bytesIn ? a.bytesIn - b.bytesIn : 0,
            a.bytesOut > b.bytesOut ? a.bytesOut - b.bytesOut : 0};
}

// part of `of`, in the proportion share / whole, never more than `of`.
uint64_t proportion(uint64_t of, uint64_t share, uint64_t whole, double scale) {
    if (whole == 0) {
        return 0;
    }
    const double value =
        static_cast<double>(of) * scale * static_cast<double>(share) / static_cast<double>(whole);
    return std::min<uint64_t>(of, static_cast<uint64_t>(std::llround(value)));
}

ProcessSample sampleOf(const NetProcess& p) {
    ProcessSample sample;
    sample.pid = p.id;
    if (p.startTime) {
        sample.startTime = platform::unixSeconds(*p.startTime);
    }
    sample.name = p.name;
    sample.executable = p.execPath;
    sample.script = p.script;
    sample.uid = p.uid;
    sample.unit = p.unit;
    sample.appId = p.appId;
    sample.container = p.container;
    sample.rssBytes = p.memBytes;
    return sample;
}

} // namespace

bool SocketSample::hasRemote() const {
    return remoteKnown(remoteAddress, remotePort);
}

size_t FrameUse::processFor(const NetProcess& process) {
    auto& candidates = byPid_[process.id];
    for (const size_t index : candidates) {
        if (sameProcess(processes_[index].identity.key(), process.key())) {
            return index;
        }
    }
    Process added;
    added.identity = process;
    added.identity.connections.clear();
    processes_.push_back(std::move(added));
    candidates.push_back(processes_.size() - 1);
    return processes_.size() - 1;
}

void FrameUse::addEndpoint(size_t process, const NetConnection& socket) {
    if (socket.used.any() && remoteKnown(socket.remoteAddr, socket.remotePort)) {
        endpoints_[{process, socket.proto, socket.remoteAddr, socket.remotePort}] += socket.used;
    }
}

// Each network takes its interfaces' bytes, and each process a part of its
// own bytes (loopback left out) in proportion to what each network carried
// in this frame. The processes together never take more than the networks
// carried: what they count is payload, the interfaces count every header.
void FrameUse::addNetworkUse(const ReadingFrame& frame) {
    std::map<std::string, ConnectionCounters> moved;
    ConnectionCounters total;
    for (const InterfaceStat& row : frame.interfaces) {
        if (!row.used.any()) {
            continue;
        }
        for (const NetworkAttachment& attachment : frame.networks) {
            if (attachment.interface == row.id) {
                Network& network = networks_[attachment.key];
                network.identity = attachment;
                network.bytes += row.used;
                moved[attachment.key] += row.used;
                total += row.used;
                break;
            }
        }
    }
    if (!total.any()) {
        return;
    }
    std::unordered_map<int32_t, std::vector<const EndedSocket*>> endedByPid;
    for (const EndedSocket& ended : frame.endedSockets) {
        if (isLoopback(ended.socket.remoteAddr)) {
            endedByPid[ended.owner.pid].push_back(&ended);
        }
    }
    std::vector<std::pair<size_t, ConnectionCounters>> users;
    ConnectionCounters sum;
    for (const auto* list : {&frame.processes, &frame.endedProcesses}) {
        for (const NetProcess& p : *list) {
            if (!p.bytesUsed.any()) {
                continue;
            }
            ConnectionCounters local;
            for (const NetConnection& socket : p.connections) {
                if (isLoopback(socket.remoteAddr)) {
                    local += socket.used;
                }
            }
            if (const auto found = endedByPid.find(p.id); found != endedByPid.end()) {
                for (const EndedSocket* ended : found->second) {
                    if (sameProcess(ended->owner, p.key())) {
                        local += ended->socket.used;
                    }
                }
            }
            const ConnectionCounters overNetwork = less(p.bytesUsed, local);
            if (overNetwork.any()) {
                users.emplace_back(processFor(p), overNetwork);
                sum += overNetwork;
            }
        }
    }
    const auto scale = [](uint64_t processes, uint64_t carried) {
        return processes > carried ? static_cast<double>(carried) / static_cast<double>(processes)
                                   : 1.0;
    };
    const double scaleIn = scale(sum.bytesIn, total.bytesIn);
    const double scaleOut = scale(sum.bytesOut, total.bytesOut);
    for (const auto& [index, used] : users) {
        for (const auto& [key, carried] : moved) {
            const ConnectionCounters part{
                proportion(used.bytesIn, carried.bytesIn, total.bytesIn, scaleIn),
                proportion(used.bytesOut, carried.bytesOut, total.bytesOut, scaleOut)};
            if (part.any()) {
                networks_[key].processes[index] += part;
            }
        }
    }
}

void FrameUse::add(const ReadingFrame& frame) {
    for (const auto* list : {&frame.processes, &frame.endedProcesses}) {
        for (const NetProcess& p : *list) {
            uint64_t gpuNS = 0;
            for (const HelperGpuEngineData& engine : p.gpuUsed) {
                gpuNS = saturatingAdd(gpuNS, engine.ns);
            }
            if (p.cpuUsedNS == 0 && !p.bytesUsed.any() && gpuNS == 0 && p.diskReadUsed == 0 &&
                p.diskWriteUsed == 0) {
                continue;
            }
            const size_t index = processFor(p);
            Process& use = processes_[index];
            use.cpuNS = saturatingAdd(use.cpuNS, p.cpuUsedNS);
            use.bytes += p.bytesUsed;
            use.gpuNS = saturatingAdd(use.gpuNS, gpuNS);
            use.diskRead = saturatingAdd(use.diskRead, p.diskReadUsed);
            use.diskWrite = saturatingAdd(use.diskWrite, p.diskWriteUsed);
            for (const NetConnection& socket : p.connections) {
                addEndpoint(index, socket);
            }
        }
    }
    if (!frame.endedSockets.empty()) {
        std::unordered_map<int32_t, std::vector<const NetProcess*>> owners;
        for (const auto* list : {&frame.processes, &frame.endedProcesses}) {
            for (const NetProcess& p : *list) {
                owners[p.id].push_back(&p);
            }
        }
        for (const EndedSocket& ended : frame.endedSockets) {
            for (const NetProcess* owner : owners[ended.owner.pid]) {
                if (sameProcess(owner->key(), ended.owner)) {
                    addEndpoint(processFor(*owner), ended.socket);
                    break;
                }
            }
        }
    }
    otherTcp_ += frame.otherTcpUsed;
    for (const InterfaceStat& row : frame.interfaces) {
        if (row.used.any()) {
            interfaces_[row.id] += row.used;
        }
    }
    addNetworkUse(frame);
}

void FrameUse::addUse(ProcessSample& sample, const Process& use) {
    sample.cpuUsedNS = use.cpuNS;
    sample.bytesUsed = use.bytes;
    sample.gpuUsedNS = use.gpuNS;
    sample.diskReadUsed = use.diskRead;
    sample.diskWriteUsed = use.diskWrite;
}

HistoryReading FrameUse::reading(const ReadingFrame& last,
                                 const std::unordered_map<std::string, std::string>& names) const {
    HistoryReading reading;
    reading.time = static_cast<int64_t>(std::llround(platform::unixSeconds(last.time)));
    // Where each process of the use went in the reading.
    std::vector<size_t> placed(processes_.size(), SIZE_MAX);
    reading.processes.reserve(last.processes.size());
    for (const NetProcess& p : last.processes) {
        ProcessSample& sample = reading.processes.emplace_back(sampleOf(p));
        if (const auto found = byPid_.find(p.id); found != byPid_.end()) {
            for (const size_t index : found->second) {
                if (placed[index] == SIZE_MAX &&
                    sameProcess(processes_[index].identity.key(), p.key())) {
                    placed[index] = reading.processes.size() - 1;
                    addUse(sample, processes_[index]);
                }
            }
        }
        sample.sockets.reserve(p.connections.size());
        for (const NetConnection& c : p.connections) {
            SocketSample& socket = sample.sockets.emplace_back();
            socket.protocol = rawValue(c.proto);
            socket.localAddress = c.localAddr;
            socket.localPort = c.localPort;
            socket.remoteAddress = c.remoteAddr;
            socket.remotePort = c.remotePort;
            if (const auto name = names.find(c.remoteAddr); name != names.end()) {
                socket.hostName = name->second;
            }
        }
    }
    // Those that ended before this reading keep only what they used.
    for (size_t index = 0; index < processes_.size(); ++index) {
        if (placed[index] == SIZE_MAX) {
            ProcessSample& sample =
                reading.processes.emplace_back(sampleOf(processes_[index].identity));
            addUse(sample, processes_[index]);
            sample.running = false;
            placed[index] = reading.processes.size() - 1;
        }
    }
    for (const auto& [key, used] : endpoints_) {
        const auto& [process, protocol, address, port] = key;
        reading.endpoints.push_back(
            {placed[process], std::string(rawValue(protocol)), address, port, used});
    }
    reading.otherTcp = otherTcp_;
    for (const auto& [name, used] : interfaces_) {
        reading.interfaces.push_back({name, used});
    }
    for (const auto& [key, network] : networks_) {
        NetworkSample& sample = reading.networks.emplace_back();
        sample.network = network.identity;
        sample.used = network.bytes;
        for (const auto& [index, used] : network.processes) {
            sample.processes.emplace_back(placed[index], used);
        }
    }
    const SystemStats& stats = last.system;
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
