#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

// Text measured and cut in terminal columns: CJK and emoji take two, marks
// that combine with the letter before them none.
namespace korvel::top {

size_t columnCount(std::string_view text);

// Made terminal-safe (a tab becomes a space), cut to at most `width` columns
// (ending in "…" when cut, or "~" without Unicode), then padded with spaces
// to exactly `width`. Every line of the view passes through here, so no name
// reaches the terminal raw.
std::string fitLeft(std::string_view text, size_t width, bool unicode = true);
// The same, right-aligned; cut from the left when too long.
std::string fitRight(std::string_view text, size_t width, bool unicode = true);

inline constexpr size_t kAnyWidth = std::numeric_limits<size_t>::max();

// "812 B/s", "12.3 kB/s", "5.0 MB/s": decimal units, as network tools count.
// A figure wider than `maxColumns` moves up a unit ("1.0 MB/s", not "995.4 kB/s").
std::string formatRate(double bytesPerSecond, size_t maxColumns = kAnyWidth);
// The same without the "B/s", for narrow columns: "812", "12.3k", "5.0M".
std::string formatRateCompact(double bytesPerSecond, size_t maxColumns = kAnyWidth);
// Binary units for memory and disks: "512K", "1.2G".
std::string formatBytesCompact(uint64_t bytes, size_t maxColumns = kAnyWidth);
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
