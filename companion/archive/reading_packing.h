#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::history {

// One process's readings within one minute are kept as one row, each reading
// packed into a few bytes: a row per reading cost more in keys and headers
// than in figures. A reading is one byte of the fields present (bit n for
// field n) with bit 6 set when its second in the minute follows, as one byte;
// without it the reading lies as far after the one before as that one lay
// after its own. Then each field present, as a varint.
enum class PackedField { cpuMS, rssKib, bytesIn, bytesOut, tcpSockets, udpSockets };
inline constexpr size_t kPackedFields = 6;

struct PackedReading {
    int second = 0; // 0 to 59
    std::array<std::optional<uint64_t>, kPackedFields> fields;

    std::optional<uint64_t>& operator[](PackedField f) { return fields[static_cast<size_t>(f)]; }
    const std::optional<uint64_t>& operator[](PackedField f) const {
        return fields[static_cast<size_t>(f)];
    }
};

// Adds a reading after those in bytes; secondFollowsGap only where the
// writer knows the last two there and this one lies as far after the last.
void appendPacked(std::string& bytes, const PackedReading& reading, bool secondFollowsGap);
// The readings packed in bytes; none after the first that does not decode.
std::vector<PackedReading> unpackReadings(std::string_view bytes);

} // namespace korvel::history
