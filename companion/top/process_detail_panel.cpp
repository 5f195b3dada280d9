#include "companion/top/frame.h"
#include "companion/top/text_layout.h"

#include <algorithm>
#include <cstdio>

namespace korvel::top {
namespace {

constexpr size_t kProto = 5, kState = 11, kRate = 9, kSource = 5;

bool isIPv6(TransportProto proto) {
    return proto == TransportProto::tcp6 || proto == TransportProto::udp6;
}

// Wildcard and unset remotes name nobody.
bool worthResolving(const std::string& address) {
    return !address.empty() && address != "0.0.0.0" && address != "::" &&
           address != "::ffff:0.0.0.0";
}

std::string remoteText(const NetConnection& c, const FrameOptions& options) {
    if (options.resolveHostnames && options.hostName && worthResolving(c.remoteAddr)) {
        if (auto name = options.hostName(c.remoteAddr)) {
            return endpointText(*name, c.remotePort, false);
        }
    }
    return endpointText(c.remoteAddr, c.remotePort, isIPv6(c.proto));
}

struct Columns {
    size_t local = 0;
    size_t remote = 0;
};

Columns columnsFor(size_t width) {
    const size_t fixed = kProto + 1 + 1 + kState + 1 + kRate + 1 + kRate + 1 + kSource + 1;
    const size_t rest = width > fixed ? width - fixed : 0;
    const size_t local = std::min<size_t>(rest * 2 / 5, 30);
    return {local, rest - local};
}

// Who counted the rates: the kernel meter or TCP's own counters.
std::string sourceMark(ByteSource source) {
    switch (source) {
    case ByteSource::kernelMeter:
        return "meter";
    case ByteSource::tcpCounters:
        return "tcp";
    case ByteSource::none:
        break;
    }
    return "";
}

std::string socketLine(const NetConnection& c, const std::string& last, const Columns& columns,
                       const FrameOptions& options) {
    const bool u = options.unicode;
    return fitLeft(std::string(rawValue(c.proto)), kProto, u) + " " +
           fitLeft(endpointText(c.localAddr, c.localPort, isIPv6(c.proto)), columns.local, u) +
           " " + fitLeft(remoteText(c, options), columns.remote, u) + " " +
           fitLeft(std::string(rawValue(c.state)), kState, u) + " " + last;
}

} // namespace

void drawProcessDetail(const TopModel& model, const ViewState& state, const FrameOptions& options,
                       size_t rows, std::vector<FrameLine>& out) {
    const bool u = options.unicode;
    const size_t width = options.width;
    const int32_t pid = state.openPid.value_or(0);
    const auto found = std::find_if(model.processes.begin(), model.processes.end(),
                                    [pid](const NetProcess& p) { return p.id == pid; });
    std::vector<FrameLine> lines;
    auto add = [&](const std::string& text, LineStyle style = LineStyle::plain) {
        lines.push_back({fitLeft(text, width, u), style});
    };
    if (found == model.processes.end()) {
        add("Process " + std::to_string(pid) + " has ended", LineStyle::title);
    } else {
        const NetProcess& p = *found;
        char cpu[32];
        std::snprintf(cpu, sizeof cpu, "CPU %.1f%%", p.cpuPercent);
        std::string title =
            p.displayName + "  pid " + std::to_string(p.id) + "  user " + userText(model, p);
        if (!originText(p).empty()) {
            title += "  " + originText(p);
        }
        title += std::string("  ") + cpu + "  RSS " + formatBytesCompact(p.memBytes);
        if (p.rateIn || p.rateOut) {
            title += "  in " + formatRate(p.rateIn.value_or(0)) + " out " +
                     formatRate(p.rateOut.value_or(0));
        }
        add(title, LineStyle::title);
        if (p.namespaceRateIn) {
            add("Container network (every protocol, its own interfaces): in " +
                formatRate(*p.namespaceRateIn) + " out " +
                formatRate(p.namespaceRateOut.value_or(0)));
        }
        if (p.execPath) {
            add(*p.execPath);
        }
    }
    const Columns columns = columnsFor(width);
    add(fitLeft("PROTO", kProto, u) + " " + fitLeft("LOCAL", columns.local, u) + " " +
            fitLeft("REMOTE", columns.remote, u) + " " + fitLeft("STATE", kState, u) + " " +
            fitRight("IN/s", kRate, u) + " " + fitRight("OUT/s", kRate, u) + " " +
            fitLeft("BY", kSource, u),
        LineStyle::columns);
    size_t shown = 0;
    if (found != model.processes.end()) {
        for (const NetConnection& c : found->connections) {
            if (!options.showListeningPorts && c.state == TCPState::listen) {
                continue;
            }
            auto rate = [&](const std::optional<double>& value) {
                return fitRight(value ? formatRate(*value, kRate) : "", kRate, u);
            };
            // The kernel keeps no byte counters for UDP; only the meter counts it.
            const bool udp = c.proto == TransportProto::udp || c.proto == TransportProto::udp6;
            const std::string rates =
                (udp && c.counted == ByteSource::none ? fitRight("not measured", kRate * 2 + 1, u)
                                                      : rate(c.rateIn) + " " + rate(c.rateOut)) +
                " " + fitLeft(sourceMark(c.counted), kSource, u);
            add(socketLine(c, rates, columns, options));
            ++shown;
        }
    }
    if (shown == 0) {
        add("No sockets");
    }
    const auto closed = model.recentlyClosed.find(pid);
    if (closed != model.recentlyClosed.end() && !closed->second.empty()) {
        add("Recently closed", LineStyle::columns);
        for (const ClosedConnection& entry : closed->second) {
            const std::string age =
                fitRight(formatAge(model.time - entry.closedAt) + " ago", kRate * 2 + 1, u);
            add(socketLine(entry.connection, age, columns, options));
        }
    }

    // The title and the column line stay; the sockets scroll.
    const size_t fixedTop = std::min<size_t>(
        lines.size(), found == model.processes.end()
                          ? 2
                          : 2 + (found->execPath ? 1 : 0) + (found->namespaceRateIn ? 1 : 0));
    const size_t body = lines.size() - fixedTop;
    const size_t room = rows > fixedTop ? rows - fixedTop : 0;
    const size_t top = options.height == 0
                           ? 0
                           : std::min(state.detailScrollTop, body > room ? body - room : size_t{0});
    out.insert(out.end(), lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(fixedTop));
    const size_t end = options.height == 0 ? body : std::min(body, top + room);
    for (size_t i = top; i < end; ++i) {
        out.push_back(lines[fixedTop + i]);
    }
}

} // namespace korvel::top
