#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Text measured and cut in terminal columns, one column per code point: the
// view's own glyphs are all narrow, and a wide name costs at most a column.
namespace korvel::top {

size_t columnCount(std::string_view text);

// Cut to at most `width` columns (ending in "…" when cut, or "~" without
// Unicode), then padded with spaces to exactly `width`.
std::string fitLeft(std::string_view text, size_t width, bool unicode = true);
// The same, right-aligned; cut from the left when too long.
std::string fitRight(std::string_view text, size_t width, bool unicode = true);

// "812 B/s", "12.3 kB/s", "5.0 MB/s": decimal units, as network tools count.
std::string formatRate(double bytesPerSecond);
// The same without the "B/s", for narrow columns: "812", "12.3k", "5.0M".
std::string formatRateCompact(double bytesPerSecond);
// Binary units for memory and disks: "512K", "1.2G".
std::string formatBytesCompact(uint64_t bytes);
// "1.2 GiB".
std::string formatBytes(uint64_t bytes);
// Seconds as "12 s", "3 min", "2 h".
std::string formatAge(double seconds);

// The last `width` values scaled against their own maximum, one glyph each;
// ASCII levels without Unicode. Shorter histories are padded on the left.
std::string sparkline(const std::vector<double>& values, size_t width, bool unicode);

// "host:port", with IPv6 addresses in brackets; IPv4-mapped ones as IPv4.
std::string endpointText(std::string_view host, uint16_t port, bool ipv6Address);

} // namespace korvel::top
