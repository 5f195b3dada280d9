#include "helper/process_table.h"

#include "helper/process_name.h"
#include "helper/socket_table.h"
#include "shared/utf8.h"

#include <optional>
#include <string>

namespace korvel {

std::vector<HelperProcessData> collectProcessTable(bool showSystem,
                                                   std::vector<HelperConnectionData>& connections) {
    platform::proc::ProcSource source;
    return collectProcessTable(source, showSystem, connections);
}

std::vector<HelperProcessData> collectProcessTable(platform::proc::ProcSource& source,
                                                   bool showSystem,
                                                   std::vector<HelperConnectionData>& connections) {
    const std::vector<int32_t> pids = source.listAllPids();
    return collectProcessTable(source, pids, showSystem, connections);
}

std::vector<HelperProcessData> collectProcessTable(platform::proc::ProcSource& source,
                                                   const std::vector<int32_t>& pids,
                                                   bool showSystem,
                                                   std::vector<HelperConnectionData>& connections,
                                                   unsigned walkers) {
    std::vector<HelperProcessData> rows;
    if (pids.empty()) {
        return rows;
    }
    rows.reserve(pids.size() / 2);
    // One read of the kernel's socket tables serves every process of the
    // request; it bounds the rows as well, unless descriptors are shared.
    source.loadSocketTables();
    connections.reserve(connections.size() + source.socketCount());
    // The descriptor walk, the bulk of the work, runs after the rows, spread
    // over the CPUs.
    std::vector<int32_t> kept;
    kept.reserve(pids.size());

    for (const int32_t pid : pids) {
        std::optional<std::string> path;
        if (const auto raw = source.executablePath(pid)) {
            path = sanitizeUtf8(*raw);
        }
        if (path && !showSystem && isSystemExecutablePath(*path)) {
            continue;
        }
        HelperProcessData row;
        row.pid = pid;
        if (path) {
            row.name = processDisplayName(*path);
            row.execPath = std::move(path);
        } else {
            const auto shortName = source.shortName(pid);
            if (!shortName || shortName->empty()) {
                continue;
            }
            row.name = sanitizeUtf8(*shortName);
        }
        if (const auto task = source.taskInfo(pid)) {
            row.cpuNS = task->userNS + task->systemNS;
            row.memBytes = task->residentBytes;
        }
        rows.push_back(std::move(row));
        kept.push_back(pid);
    }
    appendSocketsForPids(source, kept, connections, walkers);
    return rows;
}

} // namespace korvel
