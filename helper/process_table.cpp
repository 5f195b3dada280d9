#include "helper/process_table.h"

#include "helper/process_owner.h"
#include "helper/socket_table.h"
#include "platform/clock/absolute_time.h"
#include "platform/proc/interpreter_script.h"
#include "shared/path_component.h"
#include "shared/utf8.h"

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace korvel {
namespace {

std::optional<std::string> sanitized(const std::optional<std::string>& text) {
    return text ? std::optional<std::string>(sanitizeUtf8(*text)) : std::nullopt;
}

// The script an interpreter of this name runs; the command line is read only
// for interpreters.
std::optional<std::string> scriptOf(platform::proc::ProcSource& source, int32_t pid,
                                    std::string_view executable) {
    if (!platform::proc::isInterpreter(executable)) {
        return std::nullopt;
    }
    const auto arguments = source.commandLine(pid);
    const auto script =
        arguments ? platform::proc::interpreterScript(executable, *arguments) : std::nullopt;
    return script ? std::optional<std::string>(sanitizeUtf8(*script)) : std::nullopt;
}

constexpr size_t kMostEngineClasses = 16;

uint64_t saturatingSum(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Each process's GPU clients and storage bytes, from what its walk found. A
// client shared by several descriptors or processes is counted once, for the
// first process that holds it.
void addGpuAndDisk(platform::proc::ProcSource& source, const std::vector<int32_t>& pids,
                   const std::vector<DescriptorMemory::Walk>& walks,
                   std::vector<HelperProcessData>& rows) {
    std::set<std::pair<std::string, uint64_t>> counted;
    for (size_t i = 0; i < walks.size() && i < rows.size(); ++i) {
        HelperProcessData& row = rows[i];
        if (const auto& io = walks[i].io) {
            row.diskReadBytes = io->readBytes;
            row.diskWriteBytes = io->writeBytes;
        }
        std::map<std::string, uint64_t> engines;
        for (const int32_t fd : walks[i].drmDescriptors) {
            auto client = source.drmClient(pids[i], fd);
            if (!client || !counted.emplace(client->device, client->clientId).second) {
                continue;
            }
            for (const auto& [engine, ns] : client->engineNS) {
                // A driver names a handful of classes; a bound keeps a
                // broken one from growing every reply and exported series.
                if (engines.size() < kMostEngineClasses || engines.contains(engine)) {
                    engines[engine] = saturatingSum(engines[engine], ns);
                }
            }
            if (client->memoryBytes) {
                row.gpuMemoryBytes =
                    saturatingSum(row.gpuMemoryBytes.value_or(0), *client->memoryBytes);
            }
        }
        for (const auto& [engine, ns] : engines) {
            row.gpuEngines.push_back({sanitizeUtf8(engine), ns});
        }
    }
}

} // namespace

std::vector<HelperProcessData> collectProcessTable(bool showSystem,
                                                   std::vector<HelperConnectionData>& connections,
                                                   DescriptorMemory* memory) {
    platform::proc::ProcSource source;
    return collectProcessTable(source, showSystem, connections, memory);
}

std::vector<HelperProcessData> collectProcessTable(platform::proc::ProcSource& source,
                                                   bool showSystem,
                                                   std::vector<HelperConnectionData>& connections,
                                                   DescriptorMemory* memory) {
    const std::vector<int32_t> pids = source.listAllPids();
    const SystemProcessRule rule(source.selfOwnerUid(), source.selfCgroupPath());
    return collectProcessTable(source, pids, showSystem, rule, connections, 0, memory);
}

namespace {

// A container's sockets are in its own network namespace, which the tables
// of ours do not list: one process of each such namespace, to read them
// through. Each process there gets its namespace's interface bytes, every
// protocol's: the container's traffic.
std::vector<int32_t> otherNetworkNamespaces(platform::proc::ProcSource& source,
                                            const std::vector<int32_t>& pids,
                                            std::vector<HelperProcessData>& rows) {
    const auto ours = source.networkNamespace(0);
    std::unordered_map<uint64_t, std::optional<platform::proc::InterfaceTotals>> seen;
    std::vector<int32_t> guides;
    for (size_t i = 0; i < pids.size(); ++i) {
        const auto theirs = source.networkNamespace(pids[i]);
        if (!ours || !theirs || theirs == ours) {
            continue;
        }
        const auto [slot, first] = seen.try_emplace(*theirs);
        if (first) {
            guides.push_back(pids[i]);
            slot->second = source.namespaceInterfaceBytes(pids[i]);
        }
        if (slot->second) {
            rows[i].namespaceBytesIn = slot->second->bytesIn;
            rows[i].namespaceBytesOut = slot->second->bytesOut;
        }
    }
    return guides;
}

} // namespace

std::vector<HelperProcessData> collectProcessTable(platform::proc::ProcSource& source,
                                                   const std::vector<int32_t>& pids,
                                                   bool showSystem, const SystemProcessRule& rule,
                                                   std::vector<HelperConnectionData>& connections,
                                                   unsigned walkers, DescriptorMemory* memory) {
    std::vector<HelperProcessData> rows;
    if (pids.empty()) {
        return rows;
    }
    rows.reserve(pids.size() / 2);
    // One read of the kernel's socket tables serves every process of the
    // request. It runs beside the rows and the descriptor walk, which need
    // it only once every descriptor is listed.
    std::jthread tableLoader;
    try {
        tableLoader = std::jthread([&source] { source.loadSocketTables(); });
    } catch (const std::system_error&) {
        source.loadSocketTables();
    }
    // One process of each other network namespace, found before the walk.
    std::vector<int32_t> namespaceGuides;
    const auto tablesReady = [&tableLoader, &source, &namespaceGuides] {
        if (tableLoader.joinable()) {
            tableLoader.join();
        }
        if (!namespaceGuides.empty()) {
            source.addNamespaceSocketTables(namespaceGuides);
        }
    };
    std::vector<int32_t> kept;
    kept.reserve(pids.size());
    std::vector<std::optional<DescriptorMemory::Identity>> identities;
    const auto booted = source.bootTime();
    const double bootTime = booted
                                ? static_cast<double>(*booted) - platform::kUnixToAbsoluteTimeOffset
                                : platform::secondsSince2001() - platform::secondsSinceBoot();
    const double ticksPerSecond = static_cast<double>(source.clockTicksPerSecond());

    for (const int32_t pid : pids) {
        const std::optional<uint32_t> uid = source.ownerUid(pid);
        // Where uids alone draw the line, the cgroup is read only for kept rows.
        if (!showSystem && !rule.readsCgroups() && rule.isSystemProcess(uid, std::nullopt)) {
            continue;
        }
        const std::optional<std::string_view> cgroup = source.cgroupPath(pid);
        if (!showSystem && rule.isSystemProcess(uid, cgroup)) {
            continue;
        }
        HelperProcessData row;
        row.pid = pid;
        row.uid = uid;
        if (cgroup) {
            const ProcessOwner owner = processOwnerFromCgroup(*cgroup);
            row.unit = sanitized(owner.unit);
            row.appId = sanitized(owner.appId);
            row.container = sanitized(owner.container);
        }
        if (const auto path = source.executablePath(pid)) {
            row.execPath = sanitizeUtf8(*path);
            row.name = std::string(lastPathComponent(*row.execPath));
        } else {
            const auto shortName = source.shortName(pid);
            if (!shortName || shortName->empty()) {
                continue;
            }
            row.name = sanitizeUtf8(*shortName);
        }
        row.script = scriptOf(source, pid, row.name);
        const auto task = source.taskInfo(pid);
        if (task) {
            row.cpuNS = task->userNS + task->systemNS;
            row.memBytes = task->residentBytes;
            row.startTime = bootTime + static_cast<double>(task->startTimeTicks) / ticksPerSecond;
        }
        if (memory) {
            // Read before the walk, so a process running meanwhile is walked next time too.
            const auto runtime = source.cpuRuntimeNS(pid);
            identities.push_back(task && runtime ? std::optional<DescriptorMemory::Identity>(
                                                       {task->startTimeTicks, *runtime})
                                                 : std::nullopt);
        }
        rows.push_back(std::move(row));
        kept.push_back(pid);
    }
    namespaceGuides = otherNetworkNamespaces(source, kept, rows);
    std::vector<DescriptorMemory::Walk> walks;
    if (!memory) {
        appendSocketsForPids(source, kept, connections, walkers, tablesReady, nullptr, &walks);
    } else {
        memory->keepOnly(pids);
        const RememberedWalks remembered{
            *memory, identities,
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                .count()};
        appendSocketsForPids(source, kept, connections, walkers, tablesReady, &remembered, &walks);
    }
    addGpuAndDisk(source, kept, walks, rows);
    return rows;
}

} // namespace korvel
