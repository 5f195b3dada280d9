#include "companion/top/frame.h"
#include "companion/top/text_layout.h"

#include <cstdio>
#include <ctime>

namespace korvel::top {
namespace {

constexpr size_t kMaxInterfaceLines = 3;

std::string percent(double value) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", value);
    return text;
}

std::string celsius(double value, bool unicode) {
    char text[16];
    std::snprintf(text, sizeof text, unicode ? "%.0f°C" : "%.0f C", value);
    return text;
}

const char* pressureText(MemoryPressure pressure) {
    switch (pressure) {
    case MemoryPressure::normal:
        return "normal";
    case MemoryPressure::warning:
        return "warning";
    case MemoryPressure::critical:
        return "critical";
    }
    return "";
}

// What a recorded moment is: when, and how much time it stands for.
std::string recordedTitle(const RecordedMoment& moment) {
    const auto time = static_cast<std::time_t>(moment.unixTime);
    std::tm local{};
    localtime_r(&time, &local);
    char when[32];
    std::strftime(when, sizeof when,
                  moment.bucketSeconds == 0 ? "%Y-%m-%d %H:%M:%S" : "%Y-%m-%d %H:%M", &local);
    std::string title = std::string("Korvel top  recorded ") + when + "  ";
    if (moment.bucketSeconds == 3600) {
        title += "one-hour bucket";
    } else if (moment.bucketSeconds > 0) {
        title += "one-minute bucket";
    } else {
        title += moment.seconds > 0 ? "one reading, " + std::to_string(moment.seconds) + " s"
                                    : std::string("one reading, none kept before it");
    }
    return title + (moment.earlier ? "" : "  (earliest kept)") +
           (moment.later ? "" : "  (latest kept)");
}

void add(std::vector<FrameLine>& out, const std::string& text, size_t width, bool unicode,
         LineStyle style = LineStyle::plain) {
    out.push_back({fitLeft(text, width, unicode), style});
}

std::string liveTitle(const ViewState& state, const FrameOptions& options) {
    char period[32];
    std::snprintf(period, sizeof period, "every %g s", options.refreshPeriod);
    std::string title = "Korvel top  " + options.clock + "  " + period;
    if (state.showSystemProcesses) {
        title +=
            *state.showSystemProcesses ? "  system processes shown" : "  system processes hidden";
    }
    return title;
}

// CPU with its recent history, load, memory and disk.
std::string systemLine(const SystemStats& s, const std::vector<double>& cpuHistory, bool u) {
    std::string line =
        "CPU " + fitRight(percent(s.cpuUsagePercent), 6, u) + " " + sparkline(cpuHistory, 8, u);
    char load[32];
    std::snprintf(load, sizeof load, "  load %.2f", s.loadAverage1m);
    line += load;
    line += "  Mem " + formatBytesCompact(s.usedMem) + "/" + formatBytesCompact(s.totalMem) + " " +
            pressureText(s.pressure);
    if (s.diskTotal > 0) {
        line += "  Disk " + formatBytesCompact(s.diskFree) + "/" + formatBytesCompact(s.diskTotal) +
                " free";
    }
    return line;
}

std::string gpuText(const SystemStats& s, bool u) {
    std::string gpu = "GPU";
    if (s.gpuUsagePercent) {
        gpu += " " + percent(*s.gpuUsagePercent);
    }
    if (s.gpuTemperatureCelsius) {
        gpu += " " + celsius(*s.gpuTemperatureCelsius, u);
    }
    return gpu;
}

// Battery, temperatures and GPU, as far as the machine has them; empty when none.
std::string extrasLine(const SystemStats& s, bool u) {
    std::string extra;
    auto append = [&extra](const std::string& part) {
        extra += (extra.empty() ? "" : "  ") + part;
    };
    if (s.battery) {
        append("Battery " + percent(s.battery->percentage) +
               (s.battery->isCharging ? " charging"
                                      : (s.battery->isOnACPower ? " on AC" : " on battery")));
    }
    if (s.cpuTemperatureCelsius) {
        append("CPU " + celsius(*s.cpuTemperatureCelsius, u));
    }
    if (s.gpuUsagePercent || s.gpuTemperatureCelsius) {
        append(gpuText(s, u));
    }
    return extra;
}

std::string interfaceLine(const TopModel& model, const InterfaceStat& row, size_t width, bool u) {
    std::string text = fitLeft(row.id, 10, u) + " in " +
                       fitRight(formatRate(row.rateIn, 10), 10, u) + "  out " +
                       fitRight(formatRate(row.rateOut, 10), 10, u) + "  ";
    if (row.family == InterfaceFamily::virtualInterface) {
        text += "virtual ";
    }
    const auto history = model.interfaceHistories.find(row.id);
    if (history != model.interfaceHistories.end() && width > columnCount(text) + 4) {
        std::vector<double> total(history->second.rateIn.size());
        for (size_t i = 0; i < total.size(); ++i) {
            total[i] = history->second.rateIn[i] + history->second.rateOut[i];
        }
        text += sparkline(total, std::min<size_t>(width - columnCount(text), 40), u);
    }
    return text;
}

void addInterfaceLines(const TopModel& model, size_t width, bool u, std::vector<FrameLine>& out) {
    size_t shown = 0;
    for (const InterfaceStat& row : model.interfaces) {
        if (shown == kMaxInterfaceLines || (row.rateIn <= 0 && row.rateOut <= 0)) {
            break; // active interfaces come first
        }
        ++shown;
        add(out, interfaceLine(model, row, width, u), width, u);
    }
    if (shown == 0) {
        add(out, "No interface with traffic", width, u);
    }
}

std::string pathLine(const NetworkPathSummary& path, const TrafficSessionStats& session) {
    std::string line =
        std::string("Path ") + networkPathStatusText(path.status) + ", " + path.transportLabel;
    if (path.primaryInterfaceID) {
        line += ", " + *path.primaryInterfaceID;
        if (path.localAddress) {
            line += " " + *path.localAddress;
        }
    }
    line += path.isVPNActive ? ", VPN" : "";
    line += "   Session in " + formatBytesCompact(session.totalInboundBytes) + " out " +
            formatBytesCompact(session.totalOutboundBytes) + ", peak " +
            formatRate(std::max(session.peakInboundRate, session.peakOutboundRate));
    return line;
}

} // namespace

void drawHeader(const TopModel& model, const ViewState& state, const FrameOptions& options,
                std::vector<FrameLine>& out) {
    const size_t width = options.width;
    const bool u = options.unicode;
    add(out, model.recorded ? recordedTitle(*model.recorded) : liveTitle(state, options), width, u,
        LineStyle::title);
    if (model.readings > 0 && !model.helperAvailable) {
        add(out, "Helper unreachable: local figures only, no processes or sockets", width, u,
            LineStyle::warning);
    }
    add(out, systemLine(model.system, model.cpuHistory, u), width, u);
    if (const std::string extra = extrasLine(model.system, u); !extra.empty()) {
        add(out, extra, width, u);
    }
    addInterfaceLines(model, width, u, out);
    if (model.recorded) {
        return; // the history keeps no path or session
    }
    add(out, pathLine(model.path, model.session), width, u);
}

} // namespace korvel::top
