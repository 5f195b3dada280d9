#include "companion/top/text_layout.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace korvel::top {
namespace {

bool isContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Byte offset just past the first `columns` code points.
size_t prefixBytes(std::string_view text, size_t columns) {
    size_t offset = 0;
    while (offset < text.size() && columns > 0) {
        ++offset;
        while (offset < text.size() && isContinuationByte(text[offset])) {
            ++offset;
        }
        --columns;
    }
    return offset;
}

std::string scaled(double value, const char* const* units, size_t unitCount, double step,
                   const char* format, const char* smallFormat) {
    size_t unit = 0;
    while (value >= step * 0.9995 && unit + 1 < unitCount) {
        value /= step;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? smallFormat : format, value, units[unit]);
    return text;
}

} // namespace

size_t columnCount(std::string_view text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !isContinuationByte(c); }));
}

std::string fitLeft(std::string_view text, size_t width, bool unicode) {
    const size_t columns = columnCount(text);
    if (columns <= width) {
        return std::string(text) + std::string(width - columns, ' ');
    }
    if (width == 0) {
        return {};
    }
    return std::string(text.substr(0, prefixBytes(text, width - 1))) + (unicode ? "…" : "~");
}

std::string fitRight(std::string_view text, size_t width, bool unicode) {
    const size_t columns = columnCount(text);
    if (columns <= width) {
        return std::string(width - columns, ' ') + std::string(text);
    }
    if (width == 0) {
        return {};
    }
    return (unicode ? "…" : "~") +
           std::string(text.substr(prefixBytes(text, columns - (width - 1))));
}

std::string formatRate(double bytesPerSecond) {
    static constexpr const char* kUnits[] = {"B/s", "kB/s", "MB/s", "GB/s", "TB/s"};
    return scaled(std::max(bytesPerSecond, 0.0), kUnits, 5, 1000, "%.1f %s", "%.0f %s");
}

std::string formatRateCompact(double bytesPerSecond) {
    static constexpr const char* kUnits[] = {"", "k", "M", "G", "T"};
    return scaled(std::max(bytesPerSecond, 0.0), kUnits, 5, 1000, "%.1f%s", "%.0f%s");
}

std::string formatBytesCompact(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"B", "K", "M", "G", "T", "P"};
    return scaled(static_cast<double>(bytes), kUnits, 6, 1024, "%.1f%s", "%.0f%s");
}

std::string formatBytes(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    return scaled(static_cast<double>(bytes), kUnits, 6, 1024, "%.1f %s", "%.0f %s");
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

std::string sparkline(const std::vector<double>& values, size_t width, bool unicode) {
    static constexpr std::array<const char*, 8> kBlocks = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    static constexpr std::string_view kAscii = "_.-~=+*#";
    const size_t shown = std::min(values.size(), width);
    const auto first = values.end() - static_cast<std::ptrdiff_t>(shown);
    double top = 0;
    for (auto it = first; it != values.end(); ++it) {
        if (std::isfinite(*it)) {
            top = std::max(top, *it);
        }
    }
    std::string line(width - shown, ' ');
    for (auto it = first; it != values.end(); ++it) {
        const double value = std::isfinite(*it) ? std::max(*it, 0.0) : 0.0;
        size_t level = 0;
        if (top > 0) {
            level = std::min<size_t>(7, static_cast<size_t>(value / top * 7.0 + 0.5));
        }
        if (unicode) {
            line += kBlocks[level];
        } else {
            line += kAscii[level];
        }
    }
    return line;
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

} // namespace korvel::top
