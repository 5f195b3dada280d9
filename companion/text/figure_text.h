#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

// Figures as every face writes them: sizes, rates, ages and endpoints.
namespace korvel {

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
// Decimal units for totals a table lists: "812 B", "240.0 MB".
std::string formatDecimalBytes(uint64_t bytes);

// "host:port", with IPv6 addresses in brackets; IPv4-mapped ones as IPv4.
std::string endpointText(std::string_view host, uint16_t port, bool ipv6Address);

} // namespace korvel
