#include "companion/model/uuid.h"

#include <random>
#include <string_view>

namespace korvel {
namespace {

std::mt19937_64& generator() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(),
                           device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    return engine;
}

} // namespace

Uuid Uuid::random() {
    std::array<uint8_t, 16> bytes{};
    auto& engine = generator();
    for (size_t i = 0; i < bytes.size(); i += 8) {
        uint64_t word = engine();
        for (size_t j = 0; j < 8; ++j) {
            bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
        }
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return Uuid(bytes);
}

std::string Uuid::toString() const {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kDigits[bytes_[i] >> 4]);
        text.push_back(kDigits[bytes_[i] & 0x0F]);
    }
    return text;
}

} // namespace korvel

size_t std::hash<korvel::Uuid>::operator()(const korvel::Uuid& uuid) const noexcept {
    // The bytes are random already; fold them.
    uint64_t folded = 0;
    for (size_t i = 0; i < uuid.bytes().size(); ++i) {
        folded ^= static_cast<uint64_t>(uuid.bytes()[i]) << (8 * (i % 8));
    }
    return static_cast<size_t>(folded);
}
