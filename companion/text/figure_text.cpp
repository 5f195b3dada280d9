#include "companion/text/figure_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace korvel {
namespace {

std::string scaled(double value, const char* const* units, size_t unitCount, double step,
                   const char* format, const char* smallFormat, size_t maxColumns) {
    size_t unit = 0;
    while (value >= step * 0.9995 && unit + 1 < unitCount) {
        value /= step;
        ++unit;
    }
    char text[32];
    for (;;) {
        std::snprintf(text, sizeof text, unit == 0 ? smallFormat : format, value, units[unit]);
        // Too wide for its column: the next unit up, never a cut figure.
        if (std::strlen(text) <= maxColumns || unit + 1 == unitCount) {
            return text;
        }
        value /= step;
        ++unit;
    }
}

} // namespace

std::string formatRate(double bytesPerSecond, size_t maxColumns) {
    static constexpr const char* kUnits[] = {"B/s", "kB/s", "MB/s", "GB/s", "TB/s"};
    return scaled(std::max(bytesPerSecond, 0.0), kUnits, 5, 1000, "%.1f %s", "%.0f %s", maxColumns);
}

std::string formatRateCompact(double bytesPerSecond, size_t maxColumns) {
    static constexpr const char* kUnits[] = {"", "k", "M", "G", "T"};
    return scaled(std::max(bytesPerSecond, 0.0), kUnits, 5, 1000, "%.1f%s", "%.0f%s", maxColumns);
}

std::string formatBytesCompact(uint64_t bytes, size_t maxColumns) {
    static constexpr const char* kUnits[] = {"B", "K", "M", "G", "T", "P"};
    return scaled(static_cast<double>(bytes), kUnits, 6, 1024, "%.1f%s", "%.0f%s", maxColumns);
}

std::string formatBytes(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    return scaled(static_cast<double>(bytes), kUnits, 6, 1024, "%.1f %s", "%.0f %s", kAnyWidth);
}

std::string formatAge(double seconds) {
    seconds = std::max(seconds, 0.0);
    char text[32];
    if (seconds < 120) {
        std::snprintf(text, sizeof text, "%.0f s", std::floor(seconds));
    } else if (seconds < 7200) {
        std::snprintf(text, sizeof text, "%.0f min", std::floor(seconds / 60));
    } else {
        std::snprintf(text, sizeof text, "%.0f h", std::floor(seconds / 3600));
    }
    return text;
}

std::string formatDecimalBytes(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    return scaled(static_cast<double>(bytes), kUnits, 5, 1000, "%.1f %s", "%.0f %s", kAnyWidth);
}

std::string endpointText(std::string_view host, uint16_t port, bool ipv6Address) {
    // An IPv4 peer of an IPv6 socket reads better, and fits, as plain IPv4.
    if (ipv6Address && host.starts_with("::ffff:") && host.find('.') != std::string_view::npos) {
        host.remove_prefix(7);
        ipv6Address = false;
    }
    std::string text = ipv6Address ? "[" + std::string(host) + "]" : std::string(host);
    return text + ":" + (port == 0 ? std::string("*") : std::to_string(port));
}

} // namespace korvel
