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
    const SystemStats& stats = manager.systemStats.get();
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
    if (metric == "cpu") {
        return labelled(translatable("CPU"), stats.cpuUsagePercent, "%");
    }
    if (metric == "gpu") {
        return labelled(translatable("GPU"), stats.gpuUsagePercent, "%");
    }
    if (metric == "memory") {
        return labelled(translatable("Memory"), share(stats.usedMem, stats.totalMem), "%");
    }
    if (metric == "disk") {
        return labelled(
            translatable("Disk"),
            share(stats.diskTotal - std::min(stats.diskFree, stats.diskTotal), stats.diskTotal),
            "%");
    }
    if (metric == "battery") {
        return labelled(translatable("Battery"),
                        stats.battery ? std::optional(stats.battery->percentage) : std::nullopt,
                        "%");
    }
    if (metric == "cpuTemp") {
        return labelled(translatable("CPU"), stats.cpuTemperatureCelsius, "°C");
    }
    if (metric == "gpuTemp") {
        return labelled(translatable("GPU"), stats.gpuTemperatureCelsius, "°C");
    }
    return std::nullopt;
}

std::optional<double> panelMetricLevel(std::string_view metric, const KorvelManager& manager,
                                       const DataUsage* usage) {
    const SystemStats& stats = manager.systemStats.get();
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
    } else if (metric == "cpu") {
        level = stats.cpuUsagePercent / 100;
    } else if (metric == "gpu" && stats.gpuUsagePercent) {
        level = *stats.gpuUsagePercent / 100;
    } else if (metric == "memory" || metric == "disk") {
        const auto used = metric == "memory"
                              ? share(stats.usedMem, stats.totalMem)
                              : share(stats.diskTotal - std::min(stats.diskFree, stats.diskTotal),
                                      stats.diskTotal);
        level = used ? std::optional(*used / 100) : std::nullopt;
    } else if (metric == "battery" && stats.battery) {
        level = 1 - stats.battery->percentage / 100;
    } else if (metric == "cpuTemp" && stats.cpuTemperatureCelsius) {
        level = *stats.cpuTemperatureCelsius / 100;
    } else if (metric == "gpuTemp" && stats.gpuTemperatureCelsius) {
        level = *stats.gpuTemperatureCelsius / 100;
    }
    if (!level || !std::isfinite(*level)) {
        return std::nullopt;
    }
    return std::clamp(*level, 0.0, 1.0);
}

} // namespace korvel
