#include "companion/top/frame.h"
#include "companion/top/text_layout.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace korvel::top {
namespace {

// Fixed columns; the name takes what is left. The disk columns come where
// the screen is wide enough for them or the list is sorted by one, and wide
// screens get a column of its own for the origin.
constexpr size_t kPid = 7, kUser = 9, kCpu = 6, kGpu = 6, kRss = 6, kSockets = 5, kRate = 7;
constexpr size_t kBeforeRates = kPid + 1 + kUser + 1 + kCpu + 1 + kRss + 1 + kSockets + 1;
constexpr size_t kDiskFrom = 100; // screen width at which the disk columns fit beside a name
constexpr size_t kOrigin = 32;
constexpr size_t kNameBesideOrigin = 23;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

size_t socketCount(const TopModel& model, const NetProcess& process, bool showListeningPorts) {
    if (model.recorded) {
        const auto count = model.recorded->sockets.find(process.id);
        return count != model.recorded->sockets.end() ? count->second : 0;
    }
    if (showListeningPorts) {
        return process.connections.size();
    }
    return static_cast<size_t>(
        std::count_if(process.connections.begin(), process.connections.end(),
                      [](const NetConnection& c) { return c.state != TCPState::listen; }));
}

bool matches(const TopModel& model, const NetProcess& process, const std::string& needle) {
    if (needle.empty()) {
        return true;
    }
    const std::string fields[] = {process.displayName, std::to_string(process.id),
                                  userText(model, process), originText(process),
                                  process.execPath.value_or("")};
    return std::any_of(std::begin(fields), std::end(fields), [&](const std::string& field) {
        return lower(field).find(needle) != std::string::npos;
    });
}

std::string rateCell(const std::optional<double>& rate) {
    return rate ? formatRateCompact(*rate, kRate) : "";
}

std::string percentCell(double percent) {
    char text[16];
    // Past 999.9 % (many cores busy) the tenth no longer fits.
    std::snprintf(text, sizeof text, percent < 999.95 ? "%.1f" : "%.0f", percent);
    return text;
}

// The GPU column is left out where no process has a GPU client and the
// machine reports no GPU load.
bool showsGpu(const TopModel& model) {
    return model.system.gpuUsagePercent ||
           std::any_of(model.processes.begin(), model.processes.end(),
                       [](const NetProcess& p) { return !p.gpuEngines.empty(); });
}

struct Columns {
    bool gpu = false, disk = false, origin = false;
    size_t beforeRates = kBeforeRates; // where IN/s begins
    size_t name = 0;
};

Columns columnsFor(const TopModel& model, const ViewState& state, size_t width) {
    Columns c;
    c.gpu = showsGpu(model);
    c.disk = width >= kDiskFrom || state.sortKey == SortKey::diskRead ||
             state.sortKey == SortKey::diskWrite;
    c.beforeRates += c.gpu ? kGpu + 1 : 0;
    const size_t fixed = c.beforeRates + (c.disk ? 4 : 2) * (kRate + 1);
    const size_t rest = width > fixed ? width - fixed : 0;
    c.origin = rest >= kOrigin + 1 + kNameBesideOrigin;
    c.name = c.origin ? rest - kOrigin - 1 : rest;
    return c;
}

} // namespace

bool showsOtherTcp(const TopModel& model, const ViewState& state) {
    return !state.openPid && state.filter.empty() && model.otherTcp &&
           (model.otherTcp->in > 0 || model.otherTcp->out > 0);
}

std::string originText(const NetProcess& process) {
    if (process.container) {
        return "container " + process.container->substr(0, 12);
    }
    if (process.appId) {
        return *process.appId;
    }
    return process.unit.value_or("");
}

std::string userText(const TopModel& model, const NetProcess& process) {
    if (!process.uid) {
        return "?";
    }
    const auto name = model.userNames.find(*process.uid);
    return name != model.userNames.end() && !name->second.empty() ? name->second
                                                                  : std::to_string(*process.uid);
}

std::vector<const NetProcess*> listedProcesses(const TopModel& model, const ViewState& state,
                                               bool showListeningPorts) {
    const std::string needle = lower(state.filter);
    std::vector<const NetProcess*> listed;
    for (const NetProcess& process : model.processes) {
        if (matches(model, process, needle)) {
            listed.push_back(&process);
        }
    }
    auto before = [&](const NetProcess* a, const NetProcess* b) {
        auto descending = [&](double x, double y) { return x != y ? x > y : a->id < b->id; };
        switch (state.sortKey) {
        case SortKey::cpu:
            return descending(a->cpuPercent, b->cpuPercent);
        case SortKey::memory:
            return descending(static_cast<double>(a->memBytes), static_cast<double>(b->memBytes));
        case SortKey::sockets:
            return descending(static_cast<double>(socketCount(model, *a, showListeningPorts)),
                              static_cast<double>(socketCount(model, *b, showListeningPorts)));
        case SortKey::in:
            return descending(a->rateIn.value_or(-1), b->rateIn.value_or(-1));
        case SortKey::out:
            return descending(a->rateOut.value_or(-1), b->rateOut.value_or(-1));
        case SortKey::gpu:
            return descending(a->gpuPercent.value_or(-1), b->gpuPercent.value_or(-1));
        case SortKey::diskRead:
            return descending(a->diskReadRate.value_or(-1), b->diskReadRate.value_or(-1));
        case SortKey::diskWrite:
            return descending(a->diskWriteRate.value_or(-1), b->diskWriteRate.value_or(-1));
        case SortKey::name: {
            const std::string x = lower(a->displayName);
            const std::string y = lower(b->displayName);
            return x != y ? x < y : a->id < b->id;
        }
        }
        return false;
    };
    std::sort(listed.begin(), listed.end(), before);
    return listed;
}

void drawProcessTable(const TopModel& model, const std::vector<const NetProcess*>& listed,
                      const ViewState& state, const FrameOptions& options, size_t rows,
                      std::vector<FrameLine>& out) {
    const bool u = options.unicode;
    const size_t width = options.width;
    const Columns columns = columnsFor(model, state, width);
    auto mark = [&](const char* title, SortKey key) {
        return std::string(title) + (state.sortKey == key ? (u ? "▼" : "v") : "");
    };
    std::string header =
        fitRight("PID", kPid, u) + " " + fitLeft("USER", kUser, u) + " " +
        fitRight(mark("CPU%", SortKey::cpu), kCpu, u) + " " +
        (columns.gpu ? fitRight(mark("GPU%", SortKey::gpu), kGpu, u) + " " : "") +
        fitRight(mark("RSS", SortKey::memory), kRss, u) + " " +
        fitRight(mark("SOCK", SortKey::sockets), kSockets, u) + " " +
        fitRight(mark("IN/s", SortKey::in), kRate, u) + " " +
        fitRight(mark("OUT/s", SortKey::out), kRate, u) + " " +
        (columns.disk ? fitRight(mark("RD/s", SortKey::diskRead), kRate, u) + " " +
                            fitRight(mark("WR/s", SortKey::diskWrite), kRate, u) + " "
                      : "") +
        fitLeft(mark("NAME", SortKey::name), columns.name, u);
    if (columns.origin) {
        header += " " + fitLeft("UNIT/APP/CONTAINER", kOrigin, u);
    }
    out.push_back({fitLeft(header, width, u), LineStyle::columns});

    const size_t end = std::min(listed.size(), state.scrollTop + rows);
    for (size_t i = state.scrollTop; i < end; ++i) {
        const NetProcess& p = *listed[i];
        std::string name = p.displayName;
        if (!columns.origin && !originText(p).empty()) {
            name += " (" + originText(p) + ")";
        }
        std::string text =
            fitRight(std::to_string(p.id), kPid, u) + " " + fitLeft(userText(model, p), kUser, u) +
            " " + fitRight(percentCell(p.cpuPercent), kCpu, u) + " " +
            (columns.gpu ? fitRight(p.gpuPercent ? percentCell(*p.gpuPercent) : "", kGpu, u) + " "
                         : "") +
            fitRight(formatBytesCompact(p.memBytes, kRss), kRss, u) + " " +
            fitRight(std::to_string(socketCount(model, p, options.showListeningPorts)), kSockets,
                     u) +
            " " + fitRight(rateCell(p.rateIn), kRate, u) + " " +
            fitRight(rateCell(p.rateOut), kRate, u) + " " +
            (columns.disk ? fitRight(rateCell(p.diskReadRate), kRate, u) + " " +
                                fitRight(rateCell(p.diskWriteRate), kRate, u) + " "
                          : "") +
            fitLeft(name, columns.name, u);
        if (columns.origin) {
            text += " " + fitLeft(originText(p), kOrigin, u);
        }
        const bool selected = state.selectedPid == p.id && options.height > 0;
        out.push_back({fitLeft(text, width, u), selected ? LineStyle::selected : LineStyle::plain});
    }
    if (listed.empty()) {
        out.push_back({fitLeft(
            state.filter.empty() ? "No processes" : "No process matches the filter", width, u)});
    }
    if (showsOtherTcp(model, state)) {
        // Pinned below the list: sockets that ended before a reading tied
        // them to a process, or after their process had gone.
        const std::string text = std::string(columns.beforeRates, ' ') +
                                 fitRight(rateCell(model.otherTcp->in), kRate, u) + " " +
                                 fitRight(rateCell(model.otherTcp->out), kRate, u) + " " +
                                 std::string(columns.disk ? 2 * (kRate + 1) : 0, ' ') +
                                 "other TCP (no process known)";
        out.push_back({fitLeft(text, width, u)});
    }
}

} // namespace korvel::top
