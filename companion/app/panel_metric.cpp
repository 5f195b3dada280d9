#include "companion/app/panel_metric.h"

#include "companion/app/data_usage.h"
#include "companion/app/localization.h"
#include "companion/engine/korvel_manager.h"
#include "companion/text/figure_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvel {
namespace {

std::string labelled(const char* label, std::optional<double> value, const char* unit) {
    std::string text = localized(label) + " ";
    if (!value || !std::isfinite(*value)) {
        return text + "—";
    }
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.0f %s", *value, unit);
    return text + figure;
}

std::optional<double> share(uint64_t part, uint64_t whole) {
    return whole == 0
               ? std::nullopt
               : std::optional(100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

// A metric shown as a figure beside its label: "CPU 12 %".
struct Gauge {
    const char* label;
    std::optional<double> value;
    const char* unit;
};

// The gauge of each metric but "network" and "dataUsage".
std::optional<Gauge> gaugeOf(std::string_view metric, const SystemStats& s) {
    const std::pair<std::string_view, Gauge> gauges[] = {
        {"cpu", {translatable("CPU"), s.cpuUsagePercent, "%"}},
        {"gpu", {translatable("GPU"), s.gpuUsagePercent, "%"}},
        {"memory", {translatable("Memory"), share(s.usedMem, s.totalMem), "%"}},
        {"disk",
         {translatable("Disk"), share(s.diskTotal - std::min(s.diskFree, s.diskTotal), s.diskTotal),
          "%"}},
        {"battery",
         {translatable("Battery"), s.battery ? std::optional(s.battery->percentage) : std::nullopt,
          "%"}},
        {"cpuTemp", {translatable("CPU"), s.cpuTemperatureCelsius, "°C"}},
        {"gpuTemp", {translatable("GPU"), s.gpuTemperatureCelsius, "°C"}},
    };
    for (const auto& [name, gauge] : gauges) {
        if (name == metric) {
            return gauge;
        }
    }
    return std::nullopt;
}

// The cycle of the network the reading's first default route went over.
const usage::NetworkAccount* primaryAccount(const KorvelManager& manager, const DataUsage* usage) {
    const FramePointer& frame = manager.frame.get();
    if (usage == nullptr || !frame || frame->networks.empty()) {
        return nullptr;
    }
    return usage->account(frame->networks.front().key);
}

} // namespace

std::optional<std::string> panelMetricText(std::string_view metric, const KorvelManager& manager,
                                           const DataUsage* usage) {
    if (metric == "dataUsage") {
        const auto* account = primaryAccount(manager, usage);
        if (account == nullptr) {
            return localized("Data") + " —";
        }
        return localized("Data") + " " + formatDecimalBytes(account->counted) +
               (account->plan ? " / " + formatDecimalBytes(account->plan->capBytes) : "");
    }
    if (metric == "network") {
        return "↓" + formatRate(manager.liveInboundRate.get()) + " ↑" +
               formatRate(manager.liveOutboundRate.get());
    }
    if (const auto gauge = gaugeOf(metric, manager.systemStats.get())) {
        return labelled(gauge->label, gauge->value, gauge->unit);
    }
    return std::nullopt;
}

std::optional<double> panelMetricLevel(std::string_view metric, const KorvelManager& manager,
                                       const DataUsage* usage) {
    std::optional<double> level;
    if (metric == "dataUsage") {
        const auto* account = primaryAccount(manager, usage);
        if (account != nullptr && account->plan) {
            level = static_cast<double>(account->counted) /
                    static_cast<double>(account->plan->capBytes);
        }
    } else if (metric == "network") {
        const TrafficSessionStats& session = manager.sessionStats.get();
        const double peak = std::max(session.peakInboundRate + session.peakOutboundRate, 1.0);
        level = (manager.liveInboundRate.get() + manager.liveOutboundRate.get()) / peak;
    } else if (const auto gauge = gaugeOf(metric, manager.systemStats.get());
               gauge && gauge->value) {
        // An empty battery is the bad end; for the others, 100 (% or °C).
        level = metric == "battery" ? 1 - *gauge->value / 100 : *gauge->value / 100;
    }
    if (!level || !std::isfinite(*level)) {
        return std::nullopt;
    }
    return std::clamp(*level, 0.0, 1.0);
}

} // namespace korvel
