#include "companion/top/model_json.h"

#include "companion/top/frame.h"

#include <nlohmann/json.hpp>

namespace korvel::top {
namespace {

using nlohmann::json;

template <typename T> void put(json& object, const char* key, const std::optional<T>& value) {
    if (value) {
        object[key] = *value;
    }
}

json connectionJson(const NetConnection& c) {
    json row = {{"proto", rawValue(c.proto)}, {"localAddr", c.localAddr},
                {"localPort", c.localPort},   {"remoteAddr", c.remoteAddr},
                {"remotePort", c.remotePort}, {"state", rawValue(c.state)}};
    put(row, "bytesIn", c.bytesIn);
    put(row, "bytesOut", c.bytesOut);
    put(row, "rateIn", c.rateIn);
    put(row, "rateOut", c.rateOut);
    return row;
}

json processJson(const TopModel& model, const NetProcess& p) {
    json row = {{"pid", p.id},
                {"name", p.displayName},
                {"user", userText(model, p)},
                {"cpuPercent", p.cpuPercent},
                {"memBytes", p.memBytes}};
    put(row, "execPath", p.execPath);
    put(row, "uid", p.uid);
    put(row, "unit", p.unit);
    put(row, "appId", p.appId);
    put(row, "container", p.container);
    put(row, "rateIn", p.rateIn);
    put(row, "rateOut", p.rateOut);
    put(row, "gpuPercent", p.gpuPercent);
    put(row, "gpuMemoryBytes", p.gpuMemoryBytes);
    put(row, "diskReadRate", p.diskReadRate);
    put(row, "diskWriteRate", p.diskWriteRate);
    put(row, "containerRateIn", p.namespaceRateIn);
    put(row, "containerRateOut", p.namespaceRateOut);
    json sockets = json::array();
    for (const NetConnection& c : p.connections) {
        sockets.push_back(connectionJson(c));
    }
    row["connections"] = std::move(sockets);
    if (model.recorded) {
        // The history keeps how many sockets there were, not which.
        const auto count = model.recorded->sockets.find(p.id);
        row["socketCount"] = count != model.recorded->sockets.end() ? count->second : 0;
    }
    json closed = json::array();
    if (auto it = model.recentlyClosed.find(p.id); it != model.recentlyClosed.end()) {
        for (const ClosedConnection& entry : it->second) {
            json c = connectionJson(entry.connection);
            c["closedSecondsAgo"] = model.time - entry.closedAt;
            put(c, "finalBytesIn", entry.finalBytesIn);
            put(c, "finalBytesOut", entry.finalBytesOut);
            closed.push_back(std::move(c));
        }
    }
    row["recentlyClosed"] = std::move(closed);
    return row;
}

} // namespace

std::string modelJson(const TopModel& model) {
    const SystemStats& s = model.system;
    json system = {{"cpuUsagePercent", s.cpuUsagePercent},
                   {"loadAverage1m", s.loadAverage1m},
                   {"totalMem", s.totalMem},
                   {"usedMem", s.usedMem},
                   {"freeMem", s.freeMem},
                   {"diskTotal", s.diskTotal},
                   {"diskFree", s.diskFree},
                   {"coreCount", s.coreCount}};
    put(system, "gpuUsagePercent", s.gpuUsagePercent);
    put(system, "cpuTemperatureCelsius", s.cpuTemperatureCelsius);
    put(system, "gpuTemperatureCelsius", s.gpuTemperatureCelsius);
    if (s.battery) {
        system["battery"] = {{"percentage", s.battery->percentage},
                             {"isCharging", s.battery->isCharging},
                             {"isOnACPower", s.battery->isOnACPower}};
    }
    json interfaces = json::array();
    for (const InterfaceStat& row : model.interfaces) {
        interfaces.push_back({{"id", row.id},
                              {"bytesIn", row.bytesIn},
                              {"bytesOut", row.bytesOut},
                              {"rateIn", row.rateIn},
                              {"rateOut", row.rateOut}});
    }
    json path = {{"status", networkPathStatusText(model.path.status)},
                 {"transportLabel", model.path.transportLabel},
                 {"isVPNActive", model.path.isVPNActive}};
    put(path, "primaryInterfaceID", model.path.primaryInterfaceID);
    put(path, "localAddress", model.path.localAddress);
    json processes = json::array();
    for (const NetProcess& p : model.processes) {
        processes.push_back(processJson(model, p));
    }
    const TrafficSessionStats& session = model.session;
    json document = {{"helperAvailable", model.helperAvailable},
                     {"system", std::move(system)},
                     {"interfaces", std::move(interfaces)},
                     {"networkPath", std::move(path)},
                     {"session",
                      {{"totalInboundBytes", session.totalInboundBytes},
                       {"totalOutboundBytes", session.totalOutboundBytes},
                       {"peakInboundRate", session.peakInboundRate},
                       {"peakOutboundRate", session.peakOutboundRate}}},
                     {"processes", std::move(processes)}};
    if (const auto& r = model.recorded) {
        document["recorded"] = {
            {"time", r->unixTime}, {"bucketSeconds", r->bucketSeconds}, {"seconds", r->seconds}};
    }
    if (model.otherTcp) {
        document["otherTcp"] = {{"rateIn", model.otherTcp->in}, {"rateOut", model.otherTcp->out}};
    }
    // NaN or infinite figures have no JSON form; dump() writes them as null.
    // ASCII only, so no name the machine chose reaches a terminal as a
    // control (C1 and bidirectional ones are not escaped by JSON alone); bytes
    // that are not UTF-8 become U+FFFD rather than end the command.
    return document.dump(-1, ' ', true, json::error_handler_t::replace);
}

} // namespace korvel::top
