#include "companion/archive/reading_packing.h"

namespace korvel::history {
namespace {

constexpr uint8_t kExplicitSecond = 0x40;

void appendVarint(std::string& bytes, uint64_t value) {
    while (value >= 0x80) {
        bytes += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    bytes += static_cast<char>(value);
}

std::optional<uint64_t> readVarint(std::string_view bytes, size_t& at) {
    uint64_t value = 0;
    for (int shift = 0; at < bytes.size() && shift < 64; shift += 7) {
        const auto byte = static_cast<uint8_t>(bytes[at++]);
        value |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

void appendPacked(std::string& bytes, const PackedReading& reading, bool secondFollowsGap) {
    uint8_t head = secondFollowsGap ? 0 : kExplicitSecond;
    for (size_t f = 0; f < kPackedFields; ++f) {
        head |= reading.fields[f] ? 1u << f : 0;
    }
    bytes += static_cast<char>(head);
    if (!secondFollowsGap) {
        bytes += static_cast<char>(reading.second);
    }
    for (const auto& field : reading.fields) {
        if (field) {
            appendVarint(bytes, *field);
        }
    }
}

std::vector<PackedReading> unpackReadings(std::string_view bytes) {
    std::vector<PackedReading> readings;
    std::optional<int> gap;
    for (size_t at = 0; at < bytes.size();) {
        const auto head = static_cast<uint8_t>(bytes[at++]);
        PackedReading reading;
        if (head & kExplicitSecond) {
            reading.second = at < bytes.size() ? static_cast<uint8_t>(bytes[at++]) : 60;
        } else if (gap) {
            reading.second = readings.back().second + *gap;
        } else {
            break;
        }
        if (head >= 0x80 || reading.second >= 60) {
            break;
        }
        bool whole = true;
        for (size_t f = 0; f < kPackedFields && whole; ++f) {
            if (head & 1u << f) {
                reading.fields[f] = readVarint(bytes, at);
                whole = reading.fields[f].has_value();
            }
        }
        if (!whole) {
            break;
        }
        if (!readings.empty()) {
            gap = reading.second - readings.back().second;
        }
        readings.push_back(reading);
    }
    return readings;
}

} // namespace korvel::history
